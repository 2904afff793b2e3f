// Asks the session manager named by SESSION_MANAGER, as one of its clients,
// for a logout that nobody may answer: every client saves its users' data with
// the interaction style None, then the session ends. Exit status 0 when the
// session manager ends this client too, 1 when it refuses or goes away.
#include <X11/ICE/ICElib.h>
#include <X11/SM/SMlib.h>

#include <cstdio>
#include <cstdlib>

namespace {

bool idle = false;

void saveYourself(SmcConn connection, SmPointer, int, Bool, int, Bool)
{
    SmcSaveYourselfDone(connection, True);
}

// The session manager first asks a new client to save itself; it takes
// requests once that save is complete.
void saveComplete(SmcConn, SmPointer)
{
    idle = true;
}

void die(SmcConn connection, SmPointer)
{
    SmcCloseConnection(connection, 0, nullptr);
    std::exit(0);
}

void ignore(SmcConn, SmPointer) {}

} // namespace

int main()
{
    SmcCallbacks callbacks{};
    callbacks.save_yourself.callback = saveYourself;
    callbacks.die.callback = die;
    callbacks.save_complete.callback = saveComplete;
    callbacks.shutdown_cancelled.callback = ignore;
    char error[256] = "";
    char *clientId = nullptr;
    SmcConn connection = SmcOpenConnection(nullptr, nullptr, SmProtoMajor, SmProtoMinor,
                                           SmcSaveYourselfProcMask | SmcDieProcMask | SmcSaveCompleteProcMask
                                                   | SmcShutdownCancelledProcMask,
                                           &callbacks, nullptr, &clientId, sizeof error, error);
    if (!connection) {
        std::fprintf(stderr, "xsmp_logout: %s\n", error);
        return 1;
    }
    std::free(clientId);
    IceConn ice = SmcGetIceConnection(connection);
    bool requested = false;
    while (IceProcessMessages(ice, nullptr, nullptr) == IceProcessMessagesSuccess) {
        if (idle && !requested) {
            // Fast: no logout dialogue of the session manager's own either.
            SmcRequestSaveYourself(connection, SmSaveGlobal, True, SmInteractStyleNone, True, True);
            requested = true;
        }
    }
    return 1;
}

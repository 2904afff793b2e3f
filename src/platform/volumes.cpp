#include "volumes.h"

#include "services.h"

#include <QFile>
#include <QStorageInfo>

#include <blkid.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pendrel {

namespace {

// Below /media/<user>/ or /run/media/<user>/, where udisks mounts the user's
// removable media; /media and /media/<user> themselves are not volumes.
bool isRemovableMountPoint(std::string_view mountPoint, const std::string &user)
{
    if (user.empty())
        return false;
    for (const std::string &prefix : {"/media/" + user + "/", "/run/media/" + user + "/"}) {
        if (mountPoint.starts_with(prefix) && mountPoint.size() > prefix.size())
            return true;
    }
    return false;
}

// Reads the label from the file system's superblock; nullopt when the block
// device cannot be opened. Only block devices are probed: a mount source such
// as "tmpfs" is no file to open.
std::optional<std::string> probeLabel(const std::string &device)
{
    struct stat st;
    if (device.empty() || device.front() != '/' || ::stat(device.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
        return std::string();
    blkid_probe probe = blkid_new_probe_from_filename(device.c_str());
    if (!probe)
        return std::nullopt;
    std::string label;
    if (blkid_probe_enable_superblocks(probe, 1) == 0
        && blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_LABEL) == 0
        && blkid_do_safeprobe(probe) == 0) {
        const char *value = nullptr;
        std::size_t length = 0;
        if (blkid_probe_lookup_value(probe, "LABEL", &value, &length) == 0)
            label = textFromBuffer(value, length);
    }
    blkid_free_probe(probe);
    return label;
}

} // namespace

std::string labelOfVolume(const Volume &volume)
{
    const QStorageInfo storage(QFile::decodeName(QByteArray::fromStdString(volume.mountPoint)));
    const QString name = storage.name();
    if (!name.isEmpty())
        return name.toUtf8().toStdString();
    if (std::optional<std::string> label = probeLabel(volume.device))
        return std::move(*label);
    // A normal user may not read the device, and without udev there is no
    // /dev/disk/by-label. udisks names the mount point after the label (after
    // the UUID when there is none, with a number added when the name is
    // taken), so its last component stands in for the label.
    return volume.mountPoint.substr(volume.mountPoint.rfind('/') + 1);
}

std::string currentUserName()
{
    const passwd *entry = ::getpwuid(::getuid());
    return entry && entry->pw_name ? std::string(entry->pw_name) : std::string();
}

VolumeFinder::VolumeFinder(MountTableSource mountTable, LabelSource labels, std::string user)
    : m_mountTable(std::move(mountTable)), m_labels(std::move(labels)), m_user(std::move(user))
{
}

std::vector<Volume> VolumeFinder::removableVolumes() const
{
    // Keyed by mount point: sorted, and of two mounts stacked on one point
    // the later, visible one wins.
    std::map<std::string, Volume> found;
    for (Mount &mount : parseMounts(m_mountTable())) {
        if (isRemovableMountPoint(mount.mountPoint, m_user)) {
            const std::string key = mount.mountPoint;
            found.insert_or_assign(key, Volume{std::move(mount.mountPoint), std::move(mount.source), {}});
        }
    }
    std::vector<Volume> volumes;
    volumes.reserve(found.size());
    for (auto &[mountPoint, volume] : found) {
        volume.label = m_labels(volume);
        volumes.push_back(std::move(volume));
    }
    return volumes;
}

std::optional<Volume> VolumeFinder::query(const std::string &expectedName) const
{
    std::vector<Volume> volumes = removableVolumes();
    if (volumes.empty())
        return std::nullopt;
    if (!expectedName.empty()) {
        const std::string wanted = upperCased(expectedName);
        for (Volume &volume : volumes) {
            if (upperCased(volume.label) == wanted)
                return std::move(volume);
        }
    }
    return std::move(volumes.front());
}

std::string textFromBuffer(const char *buffer, std::size_t size)
{
    if (!buffer)
        return {};
    return std::string(buffer, ::strnlen(buffer, size));
}

} // namespace pendrel

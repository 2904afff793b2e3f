#include "services.h"

#include <climits>
#include <cwchar>
#include <cwctype>
#include <filesystem>
#include <unistd.h>

namespace pendrel {

std::string upperCased(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    std::mbstate_t state{};
    std::size_t i = 0;
    while (i < text.size()) {
        wchar_t wide = 0;
        const std::size_t n = std::mbrtowc(&wide, text.data() + i, text.size() - i, &state);
        if (n == 0 || n == std::size_t(-1) || n == std::size_t(-2)) {
            // NUL or a byte that is not part of a valid character: kept as is.
            out += text[i] >= 'a' && text[i] <= 'z' ? char(text[i] - 'a' + 'A') : text[i];
            state = {};
            ++i;
            continue;
        }
        char buffer[MB_LEN_MAX];
        std::mbstate_t outState{};
        const std::size_t m = std::wcrtomb(buffer, wchar_t(std::towupper(wint_t(wide))), &outState);
        if (m == std::size_t(-1))
            out.append(text.substr(i, n));
        else
            out.append(buffer, m);
        i += n;
    }
    return out;
}

std::string applicationDirectory()
{
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0)
        return ".";
    std::string path(buffer, std::size_t(n));
    const auto slash = path.rfind('/');
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string readmeFile(const std::string &applicationDirectory)
{
    namespace fs = std::filesystem;
    const fs::path directory(applicationDirectory);
    const fs::path beside = directory / "Readme.txt";
    std::error_code error;
    if (fs::is_regular_file(beside, error))
        return beside.string();
    return (directory / PENDREL_DOC_FROM_BIN / "Readme.txt").lexically_normal().string();
}

} // namespace pendrel

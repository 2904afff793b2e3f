#include "paths.h"

namespace pendrel {

std::string datname(const std::string &pfad, const std::string &dat, char separator)
{
    if (!pfad.empty() && pfad.back() == separator)
        return pfad + dat;
    return pfad + separator + dat;
}

std::string DatNam(const std::string &VollPfad, char separator)
{
    const auto last = VollPfad.rfind(separator);
    return last == std::string::npos ? VollPfad : VollPfad.substr(last + 1);
}

} // namespace pendrel

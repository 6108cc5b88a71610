// Message formatting for the exception family.
#include "rtl/SysUtils.h"

namespace vt {

std::string Format(std::string_view pattern, std::initializer_list<TFormatArg> args) {
    std::string out;
    out.reserve(pattern.size() + 32);
    auto next = args.begin();
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c != '%' || i + 1 >= pattern.size()) {
            out += c;
            continue;
        }
        const char directive = pattern[++i];
        if (directive == '%') {
            out += '%';
            continue;
        }
        if ((directive != 's' && directive != 'd') || next == args.end())
            throw EConvertError("Format '" + std::string(pattern) +
                                "' invalid or incompatible with argument");
        const TFormatArg& arg = *next++;
        if (directive == 's' && arg.IsText)
            out += arg.Text;
        else if (directive == 'd' && !arg.IsText)
            out += std::to_string(arg.Number);
        else
            throw EConvertError("Format '" + std::string(pattern) +
                                "' invalid or incompatible with argument");
    }
    return out;
}

} // namespace vt

#include "cli/CQuote.h"

namespace tarnwick::cli {

std::string CQuoted(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        switch (c) {
        case '"': quoted += "\\\""; break;
        case '\\': quoted += "\\\\"; break;
        case '\t': quoted += "\\t"; break;
        case '\n': quoted += "\\n"; break;
        case '\r': quoted += "\\r"; break;
        default:
            if (b < 0x20 || b == 0x7F) {
                const char octal[] = {'\\', static_cast<char>('0' + (b >> 6)), static_cast<char>('0' + ((b >> 3) & 7)),
                                      static_cast<char>('0' + (b & 7))};
                quoted.append(octal, 4);
            } else {
                quoted += c;
            }
        }
    }
    return quoted += '"';
}

}  // namespace tarnwick::cli

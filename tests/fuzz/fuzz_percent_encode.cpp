// Fuzz target for percent_encode. Properties, for any bytes (NUL included):
// - the result holds only ASCII letters, digits, -._~ and %XX with upper-case hex digits;
// - those characters stand for themselves, and only the other bytes are encoded;
// - percent-decoding the result gives back exactly the input.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "transfer/curl.h"

namespace {

bool is_unreserved(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && strchr("-._~", c) != nullptr);
}

bool is_upper_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string encoded = percent_encode(text);
    const std::string detail = "text:    " + printable(text) + "\nencoded: " + printable(encoded);

    size_t expected_size = 0;
    for (char c : text) expected_size += is_unreserved(c) ? 1 : 3;
    require(encoded.size() == expected_size, "only bytes other than letters, digits and -._~ grow",
            detail);
    for (size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '%') {
            require(i + 2 < encoded.size() && is_upper_hex(encoded[i + 1]) &&
                        is_upper_hex(encoded[i + 2]),
                    "every '%' begins %XX with upper-case hex digits", detail);
            i += 2;
        } else {
            require(is_unreserved(encoded[i]),
                    "the result holds only unreserved characters and %XX", detail);
        }
    }
    std::string decoded;
    require(percent_decode(encoded, &decoded) && decoded == text,
            "percent-decoding the result gives the input", detail);
    return 0;
}

#include "platform/CodePage.h"

#include <iconv.h>

#include <cerrno>

namespace Tarvent::VirtualChannel {

namespace {

// One conversion descriptor; iconv state is per descriptor, so each call owns one.
class Converter {
public:
    Converter() : cd_(::iconv_open("UTF-8", "WINDOWS-1252")) {}
    ~Converter()
    {
        if (valid()) {
            ::iconv_close(cd_);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Appends the conversion of `length` bytes at `data` to `out`.
    bool convert(const char* data, std::size_t length, std::string& out)
    {
        // A Windows-1252 byte takes at most three bytes in UTF-8.
        std::string buffer(length * 3, '\0');
        char* in = const_cast<char*>(data);
        std::size_t inLeft = length;
        char* outPtr = buffer.data();
        std::size_t outLeft = buffer.size();
        if (::iconv(cd_, &in, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) {
            return false;
        }
        out.append(buffer.data(), buffer.size() - outLeft);
        return true;
    }

private:
    iconv_t cd_;
};

bool isUndefined(unsigned char byte)
{
    return byte == 0x81 || byte == 0x8D || byte == 0x8F || byte == 0x90 || byte == 0x9D;
}

}  // namespace

std::string ansiToUtf8(const std::string& text)
{
    Converter converter;
    if (!converter.valid()) {
        return {};
    }
    std::string out;
    out.reserve(text.size() * 2);
    std::size_t runStart = 0;
    // iconv rejects the undefined bytes, so convert the runs between them and
    // write those bytes as U+0080..U+009F (two UTF-8 bytes, C2 xx) ourselves.
    for (std::size_t i = 0; i <= text.size(); ++i) {
        const bool atEnd = i == text.size();
        if (!atEnd && !isUndefined(static_cast<unsigned char>(text[i]))) {
            continue;
        }
        if (i > runStart && !converter.convert(text.data() + runStart, i - runStart, out)) {
            return {};
        }
        if (!atEnd) {
            out += static_cast<char>(0xC2);
            out += text[i];
        }
        runStart = i + 1;
    }
    return out;
}

}  // namespace Tarvent::VirtualChannel

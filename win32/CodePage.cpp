// WideCharToMultiByte over iconv. Descriptors are opened once per code page and thread.
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "base/Unicode.h"
#include "win32/Win32.h"

namespace {

// The charset of the process's locale, as the environment sets it; C and POSIX mean UTF-8.
std::string LocaleCharset() {
    locale_t locale = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (locale == static_cast<locale_t>(nullptr)) {
        return "UTF-8";
    }
    std::string charset = ::nl_langinfo_l(CODESET, locale);
    ::freelocale(locale);
    if (charset.empty() || charset == "ANSI_X3.4-1968" || charset == "ASCII") {
        return "UTF-8";
    }
    return charset;
}

std::string Charset(UINT codePage) {
    switch (codePage) {
        case CP_ACP:
            return LocaleCharset();
        case CP_UTF8:
            return "UTF-8";
        case 28591:
            return "ISO-8859-1";
        default:
            return "CP" + std::to_string(codePage);
    }
}

struct IconvCloser {
    void operator()(void* cd) const { ::iconv_close(static_cast<iconv_t>(cd)); }
};
using Converter = std::unique_ptr<void, IconvCloser>;

// A converter from one UTF-16 unit to the code page's charset; null when there is none.
// UTF-8 (the common case) needs no converter.
struct Target {
    bool utf8 = false;
    Converter converter;
};

Target& TargetFor(UINT codePage) {
    thread_local std::map<UINT, Target> targets;
    auto it = targets.find(codePage);
    if (it == targets.end()) {
        Target target;
        const std::string charset = Charset(codePage);
        if (charset == "UTF-8" || charset == "utf8") {
            target.utf8 = true;
        } else {
            iconv_t cd = ::iconv_open(charset.c_str(), "UTF-16LE");
            if (cd != reinterpret_cast<iconv_t>(-1)) {
                target.converter.reset(cd);
            }
        }
        it = targets.emplace(codePage, std::move(target)).first;
    }
    return it->second;
}

// One character: a unit, or a surrogate pair (count 2); 0 when it cannot be converted
// (a lone surrogate, or missing in the charset).
int ConvertCharacter(Target& target, const WCHAR* units, int count, char* out, int size) {
    // A lone surrogate is an error here, as WideCharToMultiByte's callers need to know.
    if (count == 1 && unicode::IsSurrogate(units[0])) {
        return 0;
    }
    char bytes[8];
    int n = 0;
    if (target.utf8) {
        n = unicode::EncodeUtf8(count == 2 ? unicode::FromSurrogates(units[0], units[1]) : units[0],
                                bytes);
    } else if (target.converter) {
        auto cd = static_cast<iconv_t>(target.converter.get());
        ::iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
        char in[4];
        for (int i = 0; i < count; ++i) {
            in[2 * i] = static_cast<char>(units[i] & 0xFF);
            in[2 * i + 1] = static_cast<char>(units[i] >> 8);
        }
        char* inPtr = in;
        std::size_t inLeft = static_cast<std::size_t>(2 * count);
        char* outPtr = bytes;
        std::size_t outLeft = sizeof bytes;
        if (::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) {
            return 0;
        }
        n = static_cast<int>(sizeof bytes - outLeft);
    }
    if (n == 0 || n > size) {
        return 0;
    }
    std::memcpy(out, bytes, static_cast<std::size_t>(n));
    return n;
}

}  // namespace

int WideCharToMultiByte(UINT codePage, DWORD /*flags*/, const WCHAR* text, int count, char* buffer,
                        int size, const char* /*defaultChar*/, BOOL* usedDefault) {
    if (usedDefault != nullptr) {
        *usedDefault = FALSE;
    }
    if (text == nullptr || count < 0 || buffer == nullptr || size <= 0) {
        SetLastError(EINVAL);
        return 0;
    }
    Target& target = TargetFor(codePage);
    if (!target.utf8 && !target.converter) {
        SetLastError(EINVAL);  // no such code page here
        return 0;
    }
    int written = 0;
    for (int i = 0; i < count;) {
        const int units = i + 1 < count && unicode::IsHighSurrogate(text[i]) &&
                                  unicode::IsLowSurrogate(text[i + 1])
                              ? 2
                              : 1;
        const int n = ConvertCharacter(target, text + i, units, buffer + written, size - written);
        if (n == 0) {
            SetLastError(EILSEQ);
            return 0;
        }
        written += n;
        i += units;
    }
    return written;
}

BOOL IsValidCodePage(UINT codePage) {
    const Target& target = TargetFor(codePage);
    return target.utf8 || target.converter ? TRUE : FALSE;
}

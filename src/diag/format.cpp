#include "diag/format.h"

#include <cwchar>

namespace lmvn {
namespace {

class Writer {
  public:
    explicit Writer(std::span<wchar_t> out) : out_(out) {}

    void put(wchar_t c) {
        if (pos_ + 1 < out_.size()) {
            out_[pos_++] = c;
        } else {
            fits_ = false;
        }
    }
    void puts(const wchar_t* s) {
        while (*s) put(*s++);
    }
    bool finish() {
        if (out_.empty()) return false;
        out_[pos_] = L'\0';
        return fits_;
    }

  private:
    std::span<wchar_t> out_;
    size_t pos_ = 0;
    bool fits_ = true;
};

void PutNumber(Writer& w, unsigned long long magnitude, bool negative, unsigned base, bool zero,
               unsigned width) {
    wchar_t digits[24];
    int n = 0;
    do {
        const unsigned d = static_cast<unsigned>(magnitude % base);
        digits[n++] = static_cast<wchar_t>(d < 10 ? L'0' + d : L'a' + (d - 10));
        magnitude /= base;
    } while (magnitude != 0);
    const unsigned length = static_cast<unsigned>(n) + (negative ? 1u : 0u);
    if (!zero) {
        for (unsigned i = length; i < width; ++i) w.put(L' ');
    }
    if (negative) w.put(L'-');
    if (zero) {
        for (unsigned i = length; i < width; ++i) w.put(L'0');
    }
    while (n > 0) w.put(digits[--n]);
}

}  // namespace

bool FormatTextV(std::span<wchar_t> out, const wchar_t* format, va_list args) {
    Writer w(out);
    for (const wchar_t* p = format; *p; ++p) {
        if (*p != L'%') {
            w.put(*p);
            continue;
        }
        const wchar_t* start = p++;
        bool zero = false;
        if (*p == L'0') {
            zero = true;
            ++p;
        }
        unsigned width = 0;
        while (*p >= L'0' && *p <= L'9' && width < 1000) width = width * 10 + (*p++ - L'0');
        switch (*p) {
            case L's': {
                const wchar_t* s = va_arg(args, const wchar_t*);
                w.puts(s ? s : L"(null)");
                break;
            }
            case L'd': {
                const int v = va_arg(args, int);
                const bool negative = v < 0;
                const unsigned long long magnitude =
                    negative ? 0ull - static_cast<unsigned long long>(static_cast<long long>(v))
                             : static_cast<unsigned long long>(v);
                PutNumber(w, magnitude, negative, 10, zero, width);
                break;
            }
            case L'u':
                PutNumber(w, va_arg(args, unsigned), false, 10, zero, width);
                break;
            case L'x':
                PutNumber(w, va_arg(args, unsigned), false, 16, zero, width);
                break;
            case L'%':
                w.put(L'%');
                break;
            case L'\0':
                // A lone % at the end: copy it and stop.
                for (const wchar_t* q = start; *q; ++q) w.put(*q);
                return w.finish();
            default:
                for (const wchar_t* q = start; q <= p; ++q) w.put(*q);
                break;
        }
    }
    return w.finish();
}

bool FormatText(std::span<wchar_t> out, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const bool fits = FormatTextV(out, format, args);
    va_end(args);
    return fits;
}

bool FormatText1024(wchar_t (&out)[1024], const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const bool fits = FormatTextV(out, format, args);
    va_end(args);
    return fits;
}

bool CopyText(std::span<wchar_t> out, const wchar_t* text) {
    if (out.empty()) return false;
    out[0] = L'\0';
    return AppendText(out, text);
}

bool AppendText(std::span<wchar_t> out, const wchar_t* text) {
    size_t pos = 0;
    while (pos < out.size() && out[pos] != L'\0') ++pos;
    if (pos == out.size()) return false;
    for (; *text; ++text) {
        if (pos + 1 >= out.size()) {
            out[pos] = L'\0';
            return false;
        }
        out[pos++] = *text;
    }
    out[pos] = L'\0';
    return true;
}

}  // namespace lmvn

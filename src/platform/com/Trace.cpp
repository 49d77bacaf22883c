#include "Trace.h"

#include "platform/system/DebugOutput.h"

#include <cstdio>
#include <cstring>

namespace
{
// Appends src[0..length) to out at *used within capacity (terminated).
void Append(char* out, int capacity, int* used, const char* src, int length) noexcept
{
    if (*used >= capacity - 1 || length <= 0)
        return;
    const int room = capacity - 1 - *used;
    const int n = length < room ? length : room;
    std::memcpy(out + *used, src, static_cast<size_t>(n));
    *used += n;
    out[*used] = '\0';
}
} // namespace

int FormatV(char* out, int capacity, const char* format, va_list arguments) noexcept
{
    if (capacity <= 0)
        return 0;
    out[0] = '\0';
    int used = 0;
    va_list args;
    va_copy(args, arguments);
    const char* p = format;
    while (*p && used < capacity - 1)
    {
        const char* percent = std::strchr(p, '%');
        if (!percent)
        {
            Append(out, capacity, &used, p, static_cast<int>(std::strlen(p)));
            break;
        }
        Append(out, capacity, &used, p, static_cast<int>(percent - p));
        // One conversion: flags, width, precision, length modifier, conversion character.
        const char* q = percent + 1;
        while (*q && std::strchr("-+ #0'", *q)) ++q;
        bool starWidth = false, starPrecision = false;
        if (*q == '*') { starWidth = true; ++q; }
        while (*q >= '0' && *q <= '9') ++q;
        if (*q == '.')
        {
            ++q;
            if (*q == '*') { starPrecision = true; ++q; }
            while (*q >= '0' && *q <= '9') ++q;
        }
        char length[3] = {};
        int lengthSize = 0;
        while (*q && std::strchr("hlLqjzt", *q) && lengthSize < 2) length[lengthSize++] = *q++;
        const char conversion = *q;
        if (!conversion)
            break;
        char conversionText[32];
        const int conversionLength = static_cast<int>(q - percent + 1);
        if (conversionLength >= static_cast<int>(sizeof(conversionText)))
            break;
        std::memcpy(conversionText, percent, static_cast<size_t>(conversionLength));
        conversionText[conversionLength] = '\0';
        p = q + 1;

        char piece[512];
        int n = 0;
        int width = starWidth ? va_arg(args, int) : 0;
        int precision = starPrecision ? va_arg(args, int) : 0;
        auto emit = [&](auto value) {
            if (starWidth && starPrecision) return std::snprintf(piece, sizeof(piece), conversionText, width, precision, value);
            if (starWidth) return std::snprintf(piece, sizeof(piece), conversionText, width, value);
            if (starPrecision) return std::snprintf(piece, sizeof(piece), conversionText, precision, value);
            return std::snprintf(piece, sizeof(piece), conversionText, value);
        };
        const bool isLong = lengthSize == 1 && length[0] == 'l';
        const bool isLongLong = (lengthSize == 2 && length[0] == 'l') || (lengthSize == 1 && (length[0] == 'j' || length[0] == 'q'));
        const bool isSize = lengthSize == 1 && (length[0] == 'z' || length[0] == 't');
        switch (conversion)
        {
        case '%':
            Append(out, capacity, &used, "%", 1);
            continue;
        case 'd': case 'i':
            if (isLongLong) n = emit(va_arg(args, long long));
            else if (isLong) n = emit(va_arg(args, long));
            else if (isSize) n = emit(va_arg(args, ptrdiff_t));
            else n = emit(va_arg(args, int));
            break;
        case 'u': case 'x': case 'X': case 'o':
            if (isLongLong) n = emit(va_arg(args, unsigned long long));
            else if (isLong) n = emit(va_arg(args, unsigned long));
            else if (isSize) n = emit(va_arg(args, size_t));
            else n = emit(va_arg(args, unsigned int));
            break;
        case 'c':
            n = emit(va_arg(args, int));
            break;
        case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
            if (lengthSize == 1 && length[0] == 'L') n = emit(va_arg(args, long double));
            else n = emit(va_arg(args, double));
            break;
        case 's':
        {
            const char* text = va_arg(args, const char*);
            if (!text) text = "(null)";
            // Strings may be longer than the piece buffer: format them straight into the output.
            if (!starWidth && !starPrecision && conversionLength == 2)
            {
                Append(out, capacity, &used, text, static_cast<int>(std::strlen(text)));
                continue;
            }
            n = emit(text);
            break;
        }
        case 'p':
            n = std::snprintf(piece, sizeof(piece), "%016llX",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(args, const void*))));
            break;
        default:
            // Unknown conversion: print it as written, consume nothing.
            Append(out, capacity, &used, conversionText, conversionLength);
            continue;
        }
        if (n > 0)
            Append(out, capacity, &used, piece, n < static_cast<int>(sizeof(piece)) ? n : static_cast<int>(sizeof(piece)) - 1);
    }
    va_end(args);
    return used;
}

int Format(char* out, int capacity, const char* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    const int n = FormatV(out, capacity, format, args);
    va_end(args);
    return n;
}

const char* TraceDetail::FileName(const char* path) noexcept
{
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

int TraceDetail::QualifiedName(const char* pretty, char* out, int capacity) noexcept
{
    // __PRETTY_FUNCTION__ reads "<return type> <qualified name>(<parameters>) <qualifiers> [with A = X; B = Y]".
    // The name ends at the '(' that opens the parameters: the first '(' outside template brackets,
    // except the one of "operator()".
    if (capacity <= 0)
        return 0;
    const char* end = pretty;
    int depth = 0;
    for (; *end; ++end)
    {
        if (*end == '<') ++depth;
        else if (*end == '>') --depth;
        else if (*end == '(' && depth == 0)
        {
            if (end - pretty >= 8 && std::strncmp(end - 8, "operator", 8) == 0 && end[1] == ')')
            {
                ++end;
                continue;
            }
            break;
        }
    }
    // The name starts after the last blank outside template brackets before it.
    const char* begin = pretty;
    depth = 0;
    for (const char* c = end; c > pretty; --c)
    {
        const char ch = c[-1];
        if (ch == '>') ++depth;
        else if (ch == '<') --depth;
        else if (ch == ' ' && depth == 0)
        {
            begin = c;
            break;
        }
    }
    const char* with = std::strstr(end, "[with ");
    int used = 0;
    out[0] = '\0';
    // Copy the name, replacing template parameter names by their arguments from the [with ...] clause
    // and dropping blanks after commas.
    for (const char* c = begin; c < end;)
    {
        const bool identifierStart = (*c == '_' || (*c >= 'A' && *c <= 'Z') || (*c >= 'a' && *c <= 'z'));
        const bool afterIdentifier = c > begin && (c[-1] == '_' || (c[-1] >= 'A' && c[-1] <= 'Z') || (c[-1] >= 'a' && c[-1] <= 'z') || (c[-1] >= '0' && c[-1] <= '9') );
        if (identifierStart && !afterIdentifier && with)
        {
            const char* idEnd = c;
            while (idEnd < end && (*idEnd == '_' || (*idEnd >= 'A' && *idEnd <= 'Z') || (*idEnd >= 'a' && *idEnd <= 'z') || (*idEnd >= '0' && *idEnd <= '9')))
                ++idEnd;
            const int idLength = static_cast<int>(idEnd - c);
            bool replaced = false;
            // Only names inside template brackets (or a full template argument list) are parameters.
            for (const char* w = with + 6; *w && *w != ']';)
            {
                const char* eq = std::strstr(w, " = ");
                if (!eq) break;
                const char* valueEnd = eq + 3;
                int valueDepth = 0;
                while (*valueEnd && !((*valueEnd == ';' || *valueEnd == ']') && valueDepth == 0))
                {
                    if (*valueEnd == '<') ++valueDepth;
                    else if (*valueEnd == '>') --valueDepth;
                    ++valueEnd;
                }
                // "[with int N = 1; T = X]": the parameter's name is the last word before " = ".
                const char* name = eq;
                while (name > w && name[-1] != ' ')
                    --name;
                if (eq - name == idLength && std::strncmp(name, c, static_cast<size_t>(idLength)) == 0)
                {
                    Append(out, capacity, &used, eq + 3, static_cast<int>(valueEnd - (eq + 3)));
                    replaced = true;
                    break;
                }
                w = *valueEnd == ';' ? valueEnd + 2 : valueEnd;
            }
            if (!replaced)
                Append(out, capacity, &used, c, idLength);
            c = idEnd;
            continue;
        }
        if (*c == ' ' && c > begin && c[-1] == ',')
        {
            ++c;
            continue;
        }
        Append(out, capacity, &used, c, 1);
        ++c;
    }
    return used;
}

void Trace(const TraceSite& site, const char* format, ...) noexcept
{
    // Nobody reads the lines: skip the formatting (the cost of every traced call).
    if (!DebugOutput::IsActive())
        return;
    char message[TraceLineCapacity];
    char line[TraceLineCapacity];
    va_list args;
    va_start(args, format);
    FormatV(message, TraceLineCapacity, format, args);
    va_end(args);
    char function[1024];
    TraceDetail::QualifiedName(site.Function, function, sizeof(function));
    int used = Format(line, TraceLineCapacity, "%s(%d): %s: ", TraceDetail::FileName(site.File), site.Line, function);
    used += Format(line + used, TraceLineCapacity - used, "%s", message);
    // A cut line still ends with its line feed so that lines never run together.
    if (used == TraceLineCapacity - 1 && line[used - 1] != '\n')
        line[used - 1] = '\n';
    DebugOutput::Write(line, static_cast<size_t>(used));
}

#include "Configuration.h"

#include "platform/com/Error.h"
#include "platform/system/Files.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

namespace Application
{
namespace
{
using Json = nlohmann::json;

std::atomic<int64_t> g_ChatIdentifier { 0 };

// "ProcessAffinityMask" text: optional blanks, an optional sign, then decimal digits or "0x" and
// hexadecimal digits (read as a 64-bit pattern), then optional blanks. Nothing else converts.
std::optional<int64_t> ParseInteger64(std::string_view text)
{
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    size_t i = 0;
    while (i < text.size() && isBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    uint64_t magnitude = 0;
    size_t digits = 0;
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X'))
    {
        for (i += 2; i < text.size(); ++i, ++digits)
        {
            const char c = text[i];
            int digit;
            if (c >= '0' && c <= '9') digit = c - '0';
            else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
            else break;
            if (magnitude > (std::numeric_limits<uint64_t>::max() >> 4))
                return std::nullopt;
            magnitude = (magnitude << 4) | static_cast<uint64_t>(digit);
        }
    }
    else
    {
        const uint64_t limit = negative ? uint64_t(1) << 63 : (uint64_t(1) << 63) - 1;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits)
        {
            const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
            if (magnitude > (limit - digit) / 10)
                return std::nullopt;
            magnitude = magnitude * 10 + digit;
        }
    }
    while (i < text.size() && isBlank(text[i]))
        ++i;
    if (digits == 0 || i != text.size())
        return std::nullopt;
    // Two's complement: a hexadecimal mask with the top bit set reads as the negative value of that pattern.
    return static_cast<int64_t>(negative ? ~magnitude + 1 : magnitude);
}

// Keeps only the part of nlohmann's message after its "[json.exception...] " tag.
std::string Reason(const char* what)
{
    const char* closing = std::strstr(what, "] ");
    return closing ? closing + 2 : what;
}

// Records where the parser stopped instead of throwing.
class ParseHandler : public nlohmann::detail::json_sax_dom_parser<Json>
{
public:
    explicit ParseHandler(Json& result) : json_sax_dom_parser(result, false) {}

    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& error)
    {
        m_Failed = true;
        m_Offset = position > 0 ? position - 1 : 0;
        m_Reason = Reason(error.what());
        return false;
    }

    bool m_Failed = false;
    size_t m_Offset = 0; // byte offset of the character the parser stopped at
    std::string m_Reason;
};

// Reads one configuration file; every failure writes its console line first.
class FileReader
{
public:
    FileReader(const std::string& path, const Console::Writer& console) : m_Path(path), m_Console(console) {}

    [[noreturn]] void Fail(HRESULT hr, const std::string& detail) const
    {
        m_Console(Console::Format("Configuration file \"%s\"%s", m_Path.c_str(), detail.c_str()));
        XEV_FAIL(hr);
    }

    std::string ReadText() const
    {
        std::string text;
        if (const int error = HostFiles::ReadWholeFile(m_Path, text))
            FailErrno(error);
        return text;
    }

    Json ParseObject(std::string_view text) const
    {
        size_t skipped = 0;
        if (text.starts_with("\xEF\xBB\xBF")) // UTF-8 byte-order mark
            skipped = 3;
        Json root;
        ParseHandler handler(root);
        Json::sax_parse(text.substr(skipped), &handler);
        if (handler.m_Failed)
            Fail(WEB_E_INVALID_JSON_STRING,
                Console::Format(": invalid JSON at byte offset %zu (%s)", skipped + handler.m_Offset, handler.m_Reason.c_str()));
        if (!root.is_object())
            Fail(WEB_E_INVALID_JSON_STRING, Console::Format(": invalid JSON at byte offset %zu (the top level is not an object)", skipped));
        return root;
    }

    // The member key of object, or null when it is absent.
    static const Json* Find(const Json& object, const char* key)
    {
        const auto it = object.find(key);
        return it == object.end() ? nullptr : &*it;
    }

    const Json& Required(const Json& object, const char* key, const std::string& keyPath) const
    {
        const Json* value = Find(object, key);
        if (!value)
            Fail(WEB_E_JSON_VALUE_NOT_FOUND, Console::Format(": key \"%s\" is missing", keyPath.c_str()));
        return *value;
    }

    const Json& Expect(const Json& value, Json::value_t type, const std::string& keyPath) const
    {
        const bool matches = type == Json::value_t::number_float ? value.is_number() : value.type() == type;
        if (!matches)
        {
            const char* typeName = type == Json::value_t::number_float ? "number" : Json(type).type_name();
            Fail(WEB_E_JSON_WRONG_TYPE,
                Console::Format(": key \"%s\" must be of type %s, not %s", keyPath.c_str(), typeName, value.type_name()));
        }
        return value;
    }

    // A JSON number truncated toward zero to a signed 64-bit integer.
    int64_t Integer(const Json& value, const std::string& keyPath) const
    {
        Expect(value, Json::value_t::number_float, keyPath);
        if (value.is_number_integer() && !value.is_number_unsigned())
            return value.get<int64_t>();
        if (value.is_number_unsigned())
        {
            const uint64_t number = value.get<uint64_t>();
            if (number <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
                return static_cast<int64_t>(number);
        }
        else
        {
            // [-2^63, 2^63) holds every double that truncates to a 64-bit integer.
            const double number = std::trunc(value.get<double>());
            if (number >= -0x1p63 && number < 0x1p63)
                return static_cast<int64_t>(number);
        }
        Fail(E_INVALIDARG, Console::Format(": key \"%s\" value %s is outside the 64-bit integer range", keyPath.c_str(), value.dump().c_str()));
    }

    [[noreturn]] void FailErrno(int error) const
    {
        Fail(HostFiles::HResultFromErrno(error), Console::Format(" cannot be read: %s", std::strerror(error)));
    }

private:

    const std::string& m_Path;
    const Console::Writer& m_Console;
};
} // namespace

int64_t ChatIdentifier() noexcept
{
    return g_ChatIdentifier.load(std::memory_order_relaxed);
}

std::string ExecutablePath()
{
    return HostFiles::ExecutablePath();
}

Configuration::Configuration() : Configuration(ExecutablePath()) {}

Configuration::Configuration(const std::string& executablePath)
{
    const std::filesystem::path path(executablePath);
    Directory = path.parent_path().string();
    Name = path.stem().string();
    ConfigurationPath = (path.parent_path() / (Name + ".Configuration.json")).lexically_normal().string();
}

void Configuration::Load(const Console::Writer& console)
{
    const FileReader file(ConfigurationPath, console);
    std::error_code error;
    if (!std::filesystem::exists(ConfigurationPath, error))
    {
        // Absent: the defaults stand. A path that cannot even be looked at is a failure, not an absence.
        if (error)
            file.FailErrno(error.value());
        return;
    }
    const Json root = file.ParseObject(file.ReadText());

    if (const Json* mask = FileReader::Find(root, "ProcessAffinityMask"))
    {
        const auto& text = file.Expect(*mask, Json::value_t::string, "ProcessAffinityMask").get_ref<const std::string&>();
        const std::optional<int64_t> value = ParseInteger64(text);
        if (!value)
            file.Fail(E_INVALIDARG,
                Console::Format(": key \"ProcessAffinityMask\" value \"%s\" is not a decimal or 0x-prefixed hexadecimal integer", text.c_str()));
        ProcessAffinityMask = *value;
    }

    if (const Json* chat = FileReader::Find(root, "Tg"))
    {
        file.Expect(*chat, Json::value_t::object, "Tg");
        const Json& identifier = file.Required(*chat, "ChatIdentifier", "Tg.ChatIdentifier");
        g_ChatIdentifier.store(file.Integer(identifier, "Tg.ChatIdentifier"), std::memory_order_relaxed);
        if (const Json* address = FileReader::Find(*chat, "BaseAddress"))
            ChatBaseAddress = file.Expect(*address, Json::value_t::string, "Tg.BaseAddress").get<std::string>();
    }
    else
    {
        g_ChatIdentifier.store(DefaultChatIdentifier, std::memory_order_relaxed);
    }

    if (const Json* tasks = FileReader::Find(root, "Tasks"))
    {
        file.Expect(*tasks, Json::value_t::array, "Tasks");
        for (size_t index = 0; index < tasks->size(); ++index)
        {
            const std::string taskPath = Console::Format("Tasks[%zu]", index);
            const Json& element = file.Expect((*tasks)[index], Json::value_t::object, taskPath);
            // Low 32 bits of each number: negative values wrap, as the file gives them.
            const auto field = [&](const char* key) {
                const std::string keyPath = taskPath + "." + key;
                return static_cast<UINT32>(file.Integer(file.Required(element, key, keyPath), keyPath));
            };
            Task task;
            task.RateD = field("RateD");
            task.RateN = field("RateN");
            task.SizeH = field("SizeH");
            task.SizeW = field("SizeW");
            Tasks.push_back(task);
        }
    }

    if (const Json* duration = FileReader::Find(root, "Duration"))
        Duration = file.Integer(*duration, "Duration");
}
} // namespace Application

#include "messaging/JsonNesting.h"

#include <nlohmann/json.hpp>

namespace {

// Counts the open arrays and objects as the library's event parser reports
// them; refusing an opening event stops the parse at once.
class DepthCounter : public nlohmann::json_sax<nlohmann::json>
{
public:
    explicit DepthCounter(std::size_t maxDepth) : maxDepth(maxDepth) {}

    bool exceeded = false;

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return open(); }
    bool key(string_t&) override { return true; }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override
    {
        return false;
    }

private:
    bool open()
    {
        exceeded = ++depth > maxDepth;
        return !exceeded;
    }
    bool close()
    {
        --depth;
        return true;
    }

    std::size_t maxDepth;
    std::size_t depth = 0;
};

} // namespace

bool jsonNestingExceeds(const std::string& text, std::size_t maxDepth) noexcept
{
    DepthCounter counter(maxDepth);
    try {
        nlohmann::json::sax_parse(text, &counter);
    } catch (...) {
        // The counter throws nothing; an allocation failure of the parser
        // leaves the text unmeasured, and unmeasured text is refused.
        return true;
    }
    return counter.exceeded;
}

// Fuzz target: the JSON reader on arbitrary bytes. Whatever it accepts must write out (compact
// and pretty), read back, and write out again to exactly the same text, both layouts giving
// the same document; whatever it refuses must be refused with EJsonError and a position.
#include "FuzzSupport.h"

#include "streams/Json.h"

#include <string>

namespace {

constexpr size_t MaxInput = 1 << 16;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vt::fuzz::Startup();
    if (size > MaxInput)
        return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    vt::TJsonValue value;
    try {
        value = vt::ParseJson(text);
    } catch (const vt::EJsonError& e) {
        VT_FUZZ_CHECK(e.Message.rfind("JSON error at line ", 0) == 0, e.Message);
        VT_FUZZ_TRACE("refused: %s\n", e.Message.c_str());
        return 0;
    }
    const std::string compact = vt::ToJsonText(value, false);
    const std::string pretty = vt::ToJsonText(value, true);
    VT_FUZZ_TRACE("accepted: %s\n", compact.c_str());
    std::string again;
    try {
        again = vt::ToJsonText(vt::ParseJson(compact), false);
        VT_FUZZ_CHECK(again == compact, "second write differs:\n  " + compact + "\n  " + again);
        again = vt::ToJsonText(vt::ParseJson(pretty), false);
        VT_FUZZ_CHECK(again == compact, "pretty text reads back differently:\n  " + pretty);
    } catch (const vt::EJsonError& e) {
        VT_FUZZ_CHECK(false, "written text refused: " + e.Message + "\n  " + compact);
    }
    return 0;
}

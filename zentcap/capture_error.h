#pragma once
// The streamer's error value. Operations that can fail throw it; the top of each flow
// catches it and reports it once, embedding its textual form in a standard-error line.

#include <cstdint>
#include <string>
#include <string_view>

namespace zentcap {

class CaptureError {
public:
    enum class Kind { invalid, status, stopped };

    // Bad parameters, bad commands, a missing display, a closed or oversized output.
    static CaptureError invalid(std::string text) { return {Kind::invalid, std::move(text), 0}; }
    // A failed call into the compression service: the operation and its status code.
    static CaptureError status(std::string operation, int32_t code) { return {Kind::status, std::move(operation), code}; }
    // A write attempted after the output was closed.
    static CaptureError stopped() { return {Kind::stopped, {}, 0}; }

    Kind kind() const { return kind_; }
    const std::string& text() const { return text_; }
    int32_t code() const { return code_; }

    // The form the host sees in messages: invalid("T"), status("T", C) or stopped,
    // with T escaped as in a string literal.
    std::string describe() const;

private:
    CaptureError(Kind kind, std::string text, int32_t code) : kind_(kind), text_(std::move(text)), code_(code) {}

    Kind kind_;
    std::string text_;
    int32_t code_;
};

// `text` between double quotes, with quotes, backslashes and control characters
// written as backslash escapes.
std::string quoted(std::string_view text);

}  // namespace zentcap

// The runtime's exception family with its standard messages, and printf-style message formatting.
#pragma once

#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>

namespace vt {

// Root of every exception the library raises; carries an English message.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : Message(std::move(message)) {}
    const char* what() const noexcept override { return Message.c_str(); }
    virtual const char* ClassName() const { return "Exception"; }

    std::string Message;
};

#define VT_EXCEPTION_CLASS(Name, Base)                                                             \
    class Name : public Base {                                                                     \
    public:                                                                                        \
        using Base::Base;                                                                          \
        const char* ClassName() const override { return #Name; }                                   \
    }

VT_EXCEPTION_CLASS(EInOutError, Exception);
VT_EXCEPTION_CLASS(EAbstractError, Exception);
VT_EXCEPTION_CLASS(EMathError, Exception);
VT_EXCEPTION_CLASS(EConvertError, Exception);

// Memory exhaustion; raised by the allocation helpers of rtl/Memory.h.
class EOutOfMemory : public Exception {
public:
    EOutOfMemory() : Exception("Out of memory") {}
    const char* ClassName() const override { return "EOutOfMemory"; }
};

// The three floating-point faults the library detects explicitly (never by trapping).
class EInvalidOp : public EMathError {
public:
    EInvalidOp() : EMathError("Invalid floating point operation") {}
    const char* ClassName() const override { return "EInvalidOp"; }
};
class EZeroDivide : public EMathError {
public:
    EZeroDivide() : EMathError("Floating point division by zero") {}
    const char* ClassName() const override { return "EZeroDivide"; }
};
class EOverflow : public EMathError {
public:
    EOverflow() : EMathError("Floating point overflow") {}
    const char* ClassName() const override { return "EOverflow"; }
};

// One argument of Format: a text or an integer.
struct TFormatArg {
    TFormatArg(std::string_view s) : Text(s), IsText(true) {}
    TFormatArg(const char* s) : Text(s ? s : ""), IsText(true) {}
    TFormatArg(const std::string& s) : Text(s), IsText(true) {}
    TFormatArg(char c) : Text(1, c), IsText(true) {}
    TFormatArg(int n) : Number(n) {}
    TFormatArg(long n) : Number(n) {}
    TFormatArg(long long n) : Number(n) {}
    TFormatArg(unsigned n) : Number(n) {}

    std::string Text;
    long long Number = 0;
    bool IsText = false;
};

// Formats a message: "%s" takes a text argument, "%d" an integer, "%%" is a percent sign.
// A directive without a matching argument raises EConvertError.
std::string Format(std::string_view pattern, std::initializer_list<TFormatArg> args);

} // namespace vt

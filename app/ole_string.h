// A BSTR holding bytes, as the exported interface takes its strings; freed
// with the object.
#pragma once

#include <string_view>

#include "talvenftp.h"

namespace talven::app {

class OleString {
public:
    explicit OleString(std::string_view bytes)
        : string_(SysAllocStringByteLen(bytes.data(), static_cast<unsigned int>(bytes.size()))) {}
    ~OleString() { SysFreeString(string_); }
    OleString(const OleString&) = delete;
    OleString& operator=(const OleString&) = delete;

    BSTR* get() { return &string_; }

private:
    BSTR string_;
};

}  // namespace talven::app

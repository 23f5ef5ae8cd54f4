// A small JSON writer for machine-readable output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class JsonWriter {
public:
    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    JsonWriter& key(std::string_view name);
    JsonWriter& value(std::string_view text);
    JsonWriter& value(const char* text) { return value(std::string_view(text)); }
    JsonWriter& value(int64_t number);
    JsonWriter& value(uint32_t number) { return value(int64_t(number)); }
    JsonWriter& value(int number) { return value(int64_t(number)); }
    JsonWriter& value(bool flag);
    JsonWriter& null();

    const std::string& text() const { return out_; }

    // Text as a JSON string: valid UTF-8 passes through; other bytes and
    // control characters are escaped as \u00XX.
    static std::string quote(std::string_view text);

private:
    void separate();
    std::string out_;
    std::vector<bool> first_;  // per open container: nothing written yet
    bool afterKey_ = false;
};

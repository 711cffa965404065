// The picojson parse context of the configuration reader. picojson's own context throws
// std::overflow_error on a number that does not fit a double (1e999) and counts only arrays
// against its nesting limit, so deeply nested objects can exhaust the stack. This context
// stores such a number as null, which the reader then treats like any value of the wrong
// type, and bounds arrays and objects alike; deeper nesting fails as a syntax error.
#pragma once

#include <picojson.h>

#include <cmath>
#include <cstddef>
#include <string>

namespace vel::settings {

class ConfigParseContext {
  public:
    // levels_left: how many arrays or objects may still open, this value's included.
    ConfigParseContext(picojson::value* out, int levels_left)
        : out_(out), levels_left_(levels_left) {}
    ConfigParseContext(const ConfigParseContext&) = delete;
    ConfigParseContext& operator=(const ConfigParseContext&) = delete;

    bool set_null() {
        *out_ = picojson::value();
        return true;
    }
    bool set_bool(bool b) {
        *out_ = picojson::value(b);
        return true;
    }
    bool set_number(double f) {
        *out_ = std::isfinite(f) ? picojson::value(f) : picojson::value();
        return true;
    }
    template <typename Iter>
    bool parse_string(picojson::input<Iter>& in) {
        *out_ = picojson::value(picojson::string_type, false);
        return picojson::_parse_string(out_->get<std::string>(), in);
    }
    bool parse_array_start() {
        if (levels_left_ <= 0) {
            return false;
        }
        *out_ = picojson::value(picojson::array_type, false);
        return true;
    }
    template <typename Iter>
    bool parse_array_item(picojson::input<Iter>& in, std::size_t) {
        picojson::array& items = out_->get<picojson::array>();
        items.emplace_back();
        ConfigParseContext child(&items.back(), levels_left_ - 1);
        return picojson::_parse(child, in);
    }
    bool parse_array_stop(std::size_t) { return true; }
    bool parse_object_start() {
        if (levels_left_ <= 0) {
            return false;
        }
        *out_ = picojson::value(picojson::object_type, false);
        return true;
    }
    template <typename Iter>
    bool parse_object_item(picojson::input<Iter>& in, const std::string& key) {
        ConfigParseContext child(&out_->get<picojson::object>()[key], levels_left_ - 1);
        return picojson::_parse(child, in);
    }
    bool parse_object_stop() { return true; }

  private:
    picojson::value* out_;
    const int levels_left_;
};

}  // namespace vel::settings

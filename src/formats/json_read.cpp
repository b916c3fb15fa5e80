#include "formats/json_read.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "base/error.h"
#include "device/port.h"

namespace formats {
namespace {

// The library's message without its "[json.exception.parse_error.101] " prefix.
std::string LibraryText(const std::exception& e) {
    std::string text = e.what();
    if (text.rfind("[json.exception.", 0) == 0) {
        if (const auto end = text.find("] "); end != std::string::npos) text.erase(0, end + 2);
    }
    return text;
}

// Builds the values as the parser reads them, in time and memory that grow with the text alone.
// The library's own builder with a callback walks the whole enclosing array at the end of every
// object, and its ordered objects look every key up before they take it: both grow with the
// square of the count. Here a key goes in at the end, a key twice is found once per object by
// sorting, the nesting is bounded, and a stop request (Ctrl+C) is looked at while reading.
class Builder : public nlohmann::json_sax<Json> {
public:
    Builder(std::string_view where, const std::function<void(Json&&)>* each)
        : where_(where), each_(each) {}

    bool IsArray() const { return topIsArray_; }
    Json& Value() { return root_; }

    bool null() override { return Put(Json(nullptr)); }
    bool boolean(bool v) override { return Put(Json(v)); }
    bool number_integer(number_integer_t v) override { return Put(Json(v)); }
    bool number_unsigned(number_unsigned_t v) override { return Put(Json(v)); }
    bool number_float(number_float_t v, const string_t& text) override {
        if (!std::isfinite(v)) Fail("a number too large: number overflow parsing '" + text + "'");
        return Put(Json(v));
    }
    bool string(string_t& v) override { return Put(Json(std::move(v))); }
    bool binary(binary_t&) override { return Put(Json(nullptr)); }  // not in JSON text

    bool start_object(std::size_t) override { return Open(Json::object()); }
    bool key(string_t& k) override {
        key_ = std::move(k);
        return true;
    }
    bool end_object() override {
        CheckKeys(*open_.back());
        return Close();
    }
    bool start_array(std::size_t) override { return Open(Json::array()); }
    bool end_array() override { return Close(); }

    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& e) override {
        const bool tooLarge = dynamic_cast<const Json::out_of_range*>(&e) != nullptr;
        Fail((tooLarge ? "a number too large: " : "not JSON: ") + LibraryText(e));
        return false;
    }

private:
    static constexpr std::size_t kMostValues = 65536;

    [[noreturn]] void Fail(const std::string& what) const {
        throw base::Error(std::string(where_) + ": " + what);
    }

    void Count() {
        if (++values_ > kMostValues) {
            Fail("more than " + std::to_string(kMostValues) + " values in one " +
                 (each_ ? "entry" : "file"));
        }
        if ((++events_ & 0xFFF) == 0 && device::StopRequested()) Fail("interrupted");
    }

    // Where a value just read goes; the new value when it is a container.
    Json* Place(Json&& v) {
        Count();
        if (open_.empty()) {
            topIsArray_ = v.is_array();
            root_ = std::move(v);
            return &root_;
        }
        Json& parent = *open_.back();
        if (parent.is_array()) {
            auto& items = parent.get_ref<Json::array_t&>();
            items.push_back(std::move(v));
            return &items.back();
        }
        // Straight into the object's storage: no lookup of the key first.
        auto& members = static_cast<std::vector<std::pair<const std::string, Json>>&>(
            parent.get_ref<Json::object_t&>());
        members.emplace_back(std::move(key_), std::move(v));
        return &members.back().second;
    }

    bool Put(Json&& v) {
        Place(std::move(v));
        Handed();
        return true;
    }

    bool Open(Json&& container) {
        if (open_.size() == kMostJsonDepth) {
            Fail("nested deeper than " + std::to_string(kMostJsonDepth) + " levels");
        }
        Json* placed = Place(std::move(container));
        open_.push_back(placed);
        return true;
    }

    bool Close() {
        // Containers shrink to what they hold, so a long array keeps no spare room.
        Json& done = *open_.back();
        if (done.is_array()) done.get_ref<Json::array_t&>().shrink_to_fit();
        open_.pop_back();
        Handed();
        return true;
    }

    // A whole element of the top array goes to `each_` and is not kept.
    void Handed() {
        if (!each_ || !topIsArray_ || open_.size() != 1) return;
        auto& items = root_.get_ref<Json::array_t&>();
        if (items.empty()) return;
        Json element = std::move(items.back());
        items.pop_back();
        values_ = 1;
        (*each_)(std::move(element));
    }

    void CheckKeys(const Json& object) const {
        std::vector<const std::string*> keys;
        keys.reserve(object.size());
        for (const auto& member : object.get_ref<const Json::object_t&>())
            keys.push_back(&member.first);
        std::sort(keys.begin(), keys.end(), [](auto* a, auto* b) { return *a < *b; });
        const auto twice =
            std::adjacent_find(keys.begin(), keys.end(), [](auto* a, auto* b) { return *a == *b; });
        if (twice != keys.end()) Fail("the key \"" + **twice + "\" comes twice in one object");
    }

    std::string_view where_;
    const std::function<void(Json&&)>* each_;
    Json root_;
    bool topIsArray_ = false;
    std::vector<Json*> open_;  // the containers being read, outermost first
    std::string key_;
    std::size_t values_ = 0, events_ = 0;
};

void Parse(std::string_view text, Builder& builder, std::string_view where) {
    if (text.size() > kMostPlanBytes) {
        throw base::Error(std::string(where) + ": larger than " +
                          std::to_string(kMostPlanBytes >> 20) + " MiB");
    }
    Json::sax_parse(text, &builder);
}

}  // namespace

Json ParseJson(std::string_view text, std::string_view where) {
    Builder builder(where, nullptr);
    Parse(text, builder, where);
    return std::move(builder.Value());
}

bool ParseJsonArray(std::string_view text, std::string_view where,
                    const std::function<void(Json&&)>& each) {
    Builder builder(where, &each);
    Parse(text, builder, where);
    return builder.IsArray();
}

}  // namespace formats

#include "core/owned_json.h"

namespace tyx {

void release_json(nlohmann::json& value) noexcept {
    if (value.is_array()) {
        auto& array = value.get_ref<nlohmann::json::array_t&>();
        for (nlohmann::json& element : array)
            release_json(element);
        array.clear();
    } else if (value.is_object()) {
        auto& object = value.get_ref<nlohmann::json::object_t&>();
        for (auto& member : object)
            release_json(member.second);
        object.clear();
    }
}

void copy_json(const nlohmann::json& from, nlohmann::json& out) {
    if (from.is_array()) {
        out = nlohmann::json::array();
        auto& array = out.get_ref<nlohmann::json::array_t&>();
        array.reserve(from.size());
        for (const nlohmann::json& element : from)
            copy_json(element, array.emplace_back());
    } else if (from.is_object()) {
        out = nlohmann::json::object();
        auto& object = out.get_ref<nlohmann::json::object_t&>();
        for (const auto& [key, member] : from.get_ref<const nlohmann::json::object_t&>())
            copy_json(member, object[key]);
    } else {
        out = from;
    }
}

void set_text_array(nlohmann::json& object, std::string_view key,
                    const std::vector<std::string>& texts) {
    nlohmann::json& member = object[key];
    member = texts;
}

}  // namespace tyx

// A station's events as the day folder keeps them, a JSON line each, read
// back when the database missed them or the station starts again.
#include <nlohmann/json.hpp>

#include "station/outputs/records.h"

namespace korvastation {

using korvasim::Result;

std::string json_event(const StationEvent& e)
{
    const nlohmann::ordered_json j = {{"id", e.id},       {"station", e.station},        {"at", e.at},
                                      {"kind", e.kind},   {"fixture", e.fixture},        {"operator", e.operator_name},
                                      {"detail", e.detail}};
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

Result station_event_of(const std::string& line, StationEvent* e)
{
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    try {
        if (!j.is_object())
            return Result::failure("not an event's record");
        e->id = j.at("id").get<std::string>();
        e->station = j.at("station").get<std::string>();
        e->at = j.at("at").get<std::string>();
        e->kind = j.at("kind").get<std::string>();
        e->fixture = j.at("fixture").get<std::string>();
        e->operator_name = j.at("operator").get<std::string>();
        e->detail = j.at("detail").get<std::string>();
    } catch (const nlohmann::json::exception& ex) {
        return Result::failure(std::string("an event without its fields: ") + ex.what());
    }
    return Result::ok();
}

std::string json_repair(const StoredRepair& r)
{
    const nlohmann::ordered_json j = {{"id", r.id},
                                      {"station", r.station},
                                      {"at", r.at},
                                      {"label", r.label},
                                      {"action", r.action},
                                      {"components", r.components},
                                      {"note", r.note},
                                      {"technician", r.technician},
                                      {"failed_attempt", r.failed_attempt},
                                      {"diagnosis", r.diagnosis}};
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

Result stored_repair_of(const std::string& line, StoredRepair* r)
{
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    try {
        if (!j.is_object())
            return Result::failure("not a repair's record");
        for (auto [key, field] : {std::pair{"id", &r->id}, {"station", &r->station}, {"at", &r->at},
                                  {"label", &r->label}, {"action", &r->action}, {"components", &r->components},
                                  {"note", &r->note}, {"technician", &r->technician},
                                  {"failed_attempt", &r->failed_attempt}, {"diagnosis", &r->diagnosis}})
            *field = j.at(key).get<std::string>();
    } catch (const nlohmann::json::exception& ex) {
        return Result::failure(std::string("a repair without its fields: ") + ex.what());
    }
    return Result::ok();
}

} // namespace korvastation

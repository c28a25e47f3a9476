#include "tools/thermometer-sim/status.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>

namespace thermo::sim {
namespace {

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string list(const std::vector<std::size_t>& values) {
    if (values.empty()) return "-";
    std::string text;
    for (std::size_t v : values) text += (text.empty() ? "" : ",") + std::to_string(v);
    return text;
}

}  // namespace

StatusFields statusFields(const DeviceStatus& s) {
    const NodeCounters& c = s.counters;
    const DeviceSettings& set = s.settings;
    unsigned value = set.value.high * 256u + set.value.low;
    char hexValue[8];
    std::snprintf(hexValue, sizeof hexValue, "0x%04X", value);
    auto celsius = celsiusForValue(set.value, set.calibration);
    char celsiusText[32] = "-";
    if (celsius) std::snprintf(celsiusText, sizeof celsiusText, "%.2f", *celsius);
    std::size_t deepest =
        s.queued.empty() ? 0 : *std::max_element(s.queued.begin(), s.queued.end());
    auto bytesPerRead = inputReport(set.shape, set.value).size();
    return {
        {"device", std::to_string(s.device)},
        {"plugged", s.plugged ? "1" : "0"},
        {"node", s.plugged ? s.node : "-"},
        {"minor", std::to_string(s.minor)},
        {"port", s.port.empty() ? "-" : s.port},
        {"open", std::to_string(s.openFiles)},
        {"stale_open", std::to_string(s.staleOpenFiles)},
        {"queued", list(s.queued)},
        {"queued_max", std::to_string(deepest)},
        {"pending_reads", std::to_string(s.pendingReads)},
        {"armed_polls", std::to_string(s.armedPolls)},
        {"opens", std::to_string(c.opens)},
        {"opens_refused", std::to_string(c.opensRefused)},
        {"releases", std::to_string(c.releases)},
        {"reads", std::to_string(c.reads)},
        {"reads_eagain", std::to_string(c.readsWouldBlock)},
        {"reads_eio", std::to_string(c.readsFailed)},
        {"reads_eintr", std::to_string(c.readsInterrupted)},
        {"polls", std::to_string(c.polls)},
        {"writes", std::to_string(c.writes)},
        {"ioctls", std::to_string(c.ioctls)},
        {"dropped", std::to_string(c.dropped)},
        {"seq", std::to_string(s.seq)},
        {"seq_ns", std::to_string(s.seqNs)},
        {"delivered_seq", std::to_string(c.deliveredSeq)},
        {"delivered_ns", std::to_string(c.deliveredNs)},
        {"now_ns", std::to_string(s.nowNs)},
        {"rate", number(set.rateHz)},
        {"b1", std::to_string(set.value.high)},
        {"b2", std::to_string(set.value.low)},
        {"value", hexValue},
        {"celsius", celsiusText},
        {"cal", number(set.calibration.zero) + "," + number(set.calibration.hundred)},
        {"report_ids", set.shape.reportIds ? "1" : "0"},
        {"length", std::to_string(set.shape.dataLength)},
        {"report_bytes", std::to_string(bytesPerRead)},
        {"thermometers", std::to_string(s.thermometers)},
        {"decoys", std::to_string(s.decoys)},
        {"nodes", std::to_string(s.nodes)},
    };
}

std::optional<Condition> parseCondition(std::string_view text) {
    // Two-character operators first, so that ">=" is not read as ">" and "=...".
    static constexpr std::array<std::pair<std::string_view, Condition::Op>, 6> kOperators{{
        {"!=", Condition::Op::NotEqual},
        {">=", Condition::Op::GreaterOrEqual},
        {"<=", Condition::Op::LessOrEqual},
        {"=", Condition::Op::Equal},
        {">", Condition::Op::Greater},
        {"<", Condition::Op::Less},
    }};
    std::size_t at = text.find_first_of("!=<>");
    if (at == std::string_view::npos || at == 0) return std::nullopt;
    for (const auto& [symbol, op] : kOperators) {
        if (text.substr(at, symbol.size()) != symbol) continue;
        Condition condition{std::string(text.substr(0, at)), op,
                            std::string(text.substr(at + symbol.size()))};
        auto known = statusFields(DeviceStatus{});
        bool isField = std::any_of(known.begin(), known.end(),
                                   [&](const auto& field) { return field.first == condition.key; });
        if (!isField || condition.value.empty()) return std::nullopt;
        return condition;
    }
    return std::nullopt;
}

namespace {

template <typename T>
bool compare(Condition::Op op, T actual, T wanted) {
    switch (op) {
        case Condition::Op::Equal:
            return actual == wanted;
        case Condition::Op::NotEqual:
            return actual != wanted;
        case Condition::Op::Less:
            return actual < wanted;
        case Condition::Op::LessOrEqual:
            return actual <= wanted;
        case Condition::Op::Greater:
            return actual > wanted;
        case Condition::Op::GreaterOrEqual:
            return actual >= wanted;
    }
    return false;
}

}  // namespace

bool holds(const Condition& condition, const StatusFields& fields) {
    auto field = std::find_if(fields.begin(), fields.end(),
                              [&](const auto& f) { return f.first == condition.key; });
    if (field == fields.end()) return false;
    // Whole numbers exactly (the nanosecond times need all 64 bits), then any numbers.
    constexpr long kMin = std::numeric_limits<long>::min(), kMax = std::numeric_limits<long>::max();
    auto actualWhole = parseInteger(field->second, kMin, kMax);
    auto wantedWhole = parseInteger(condition.value, kMin, kMax);
    if (actualWhole && wantedWhole) return compare(condition.op, *actualWhole, *wantedWhole);
    auto actual = parseNumber(field->second);
    auto wanted = parseNumber(condition.value);
    if (actual && wanted) return compare(condition.op, *actual, *wanted);
    if (condition.op == Condition::Op::Equal) return field->second == condition.value;
    if (condition.op == Condition::Op::NotEqual) return field->second != condition.value;
    return false;
}

}  // namespace thermo::sim

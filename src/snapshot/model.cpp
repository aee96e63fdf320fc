// From the client library's records to the plain model of a unit (see snapshot.h).
#include <cmath>
#include <limits>

#include "snapshot/snapshot.h"
#include "snapshot/snapshot_internal.h"

namespace snapshot {

namespace {

template <typename Field, size_t N>
constexpr int capacity_of(const Field (&)[N]) {
    return static_cast<int>(N);
}

// Entries to visit: the count, never below 0 nor above the set's capacity.
int clamp_count(int32_t count, int capacity) {
    if (count < 0) return 0;
    return count > capacity ? capacity : count;
}

template <size_t N>
std::string text_of(const char (&f)[N]) {
    return std::string(field(f));
}

// 0 or 1, as binary inputs and outputs report their value; absent for anything else.
std::optional<int> binary_value(std::string_view text) {
    const std::optional<long long> n = parse_whole(text);
    if (!n || (*n != 0 && *n != 1)) return std::nullopt;
    return static_cast<int>(*n);
}

template <size_t N, size_t M, size_t K>
void fill_point(binary_point &p, const char (&id)[N], const char (&name)[M],
                const char (&value)[K]) {
    p.id = text_of(id);
    p.name = text_of(name);
    p.value_text = text_of(value);
    p.value = binary_value(p.value_text);
}

bool is_power_meter(std::string_view model) {
    const long long m =
        atoi_like(model, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    return m == 45 || m == 55 || m == 57 || m == 58;
}

// mantissa x 10^exponent; absent when not finite. Division for negative exponents keeps
// decimal readings exact where a double can hold them (2301 x 10^-1 is 230.1, not
// 230.10000000000002).
std::optional<double> scaled(long long mantissa, int exponent) {
    const double m = static_cast<double>(mantissa);
    const double v = exponent < 0 ? m / std::pow(10.0, -exponent) : m * std::pow(10.0, exponent);
    if (!std::isfinite(v)) return std::nullopt;
    return v;
}

// The derived fields of a sensor: base readings and ranges, out_of_range, alarm_active.
void settle(sensor &s) {
    s.base_value = to_base(s.conversion, s.value);
    s.base_low = to_base(s.conversion, s.low);
    s.base_high = to_base(s.conversion, s.high);
    s.alarm_active = s.state == alarm_state::alarm;
    s.out_of_range = s.value && ((s.low && *s.value < *s.low) || (s.high && *s.value > *s.high));
}

template <typename Record>
identity identity_of(const Record &r) {
    identity id;
    id.device_name = text_of(r.Agent_DeviceName);
    id.model = text_of(r.Agent_Model);
    id.firmware = text_of(r.Agent_Version);
    id.mac = text_of(r.Agent_MAC);
    id.title = text_of(r.Agent_Title);
    id.contact = text_of(r.Agent_Contact);
    return id;
}

void fill_gap(std::string &to, const std::string &from) {
    if (trim(to).empty()) to = from;
}

}  // namespace

device from_values(const kyvern_values &v, const kyvern_values_entry_count &count) {
    device model;
    model.unit = identity_of(v);
    const bool power_meter = is_power_meter(field(v.Agent_Model));

    const int sensors = clamp_count(count.SenSet, capacity_of(v.SenSet_Entry_ID));
    model.sensors.reserve(static_cast<size_t>(sensors));
    // The exponent a meter reading without Exp takes: that of the reading before it.
    int carried_exponent = 0;
    for (int i = 0; i < sensors; ++i) {
        sensor s;
        s.id = text_of(v.SenSet_Entry_ID[i]);
        s.name = text_of(v.SenSet_Entry_Name[i]);
        s.value_text = text_of(v.SenSet_Entry_Value[i]);
        s.unit_text = text_of(v.SenSet_Entry_Units[i]);
        s.state_text = text_of(v.SenSet_Entry_State[i]);
        s.exp_text = text_of(v.SenSet_Entry_Exp[i]);
        const std::optional<long long> whole = parse_whole(s.value_text);
        if (power_meter && whole) {
            s.meter = true;
            if (!trim(s.exp_text).empty())
                carried_exponent = static_cast<int>(atoi_like(s.exp_text, -32768, 32767));
            s.value = scaled(*whole, carried_exponent);
        } else {
            s.value = parse_decimal(s.value_text);
        }
        s.low = parse_decimal(field(v.SenSet_Entry_Min[i]));
        s.high = parse_decimal(field(v.SenSet_Entry_Max[i]));
        if (s.low || s.high) s.range_from = range_source::values;
        s.conversion = conversion_of(s.unit_text);
        s.state = parse_alarm_state(s.state_text);
        settle(s);
        model.sensors.push_back(std::move(s));
    }

    const int inputs = clamp_count(count.BinaryInSet, capacity_of(v.BinaryInSet_Entry_ID));
    model.inputs.reserve(static_cast<size_t>(inputs));
    for (int i = 0; i < inputs; ++i) {
        binary_input in;
        fill_point(in, v.BinaryInSet_Entry_ID[i], v.BinaryInSet_Entry_Name[i],
                   v.BinaryInSet_Entry_Value[i]);
        in.state_text = text_of(v.BinaryInSet_Entry_State[i]);
        in.state = parse_alarm_state(in.state_text);
        in.alarm_active = in.state == alarm_state::alarm;
        model.inputs.push_back(std::move(in));
    }

    const int outputs = clamp_count(count.BinaryOutSet, capacity_of(v.BinaryOutSet_Entry_ID));
    model.outputs.reserve(static_cast<size_t>(outputs));
    for (int i = 0; i < outputs; ++i) {
        binary_output out;
        fill_point(out, v.BinaryOutSet_Entry_ID[i], v.BinaryOutSet_Entry_Name[i],
                   v.BinaryOutSet_Entry_Value[i]);
        out.mode_text = text_of(v.BinaryOutSet_Entry_Mode[i]);
        out.mode = parse_output_mode(out.mode_text);
        model.outputs.push_back(std::move(out));
    }
    return model;
}

setup_info from_setup(const kyvern_setup &s, const kyvern_setup_entry_count &count) {
    setup_info info;
    info.unit = identity_of(s);
    info.family = info.unit.title.find("Kyvern") != std::string::npos;

    const int ranges = clamp_count(count.TempRangeSet, capacity_of(s.TempRangeSet_Entry_Idx));
    const int sensors = clamp_count(count.SenSet, capacity_of(s.SenSet_Entry_ID));
    for (int i = 0; i < sensors; ++i) {
        setup_info::sensor_entry e;
        e.id = text_of(s.SenSet_Entry_ID[i]);
        e.name = text_of(s.SenSet_Entry_Name[i]);
        if (info.family) {
            e.low = parse_decimal(field(s.SenSet_Entry_Min[i]));
            e.high = parse_decimal(field(s.SenSet_Entry_Max[i]));
        } else if (const std::optional<long long> idx = parse_whole(field(s.SenSet_Entry_Idx[i]))) {
            for (int j = 0; j < ranges; ++j) {
                if (parse_whole(field(s.TempRangeSet_Entry_Idx[j])) == idx) {
                    e.low = parse_decimal(field(s.TempRangeSet_Entry_Min[j]));
                    e.high = parse_decimal(field(s.TempRangeSet_Entry_Max[j]));
                    break;
                }
            }
        }
        info.sensors.push_back(std::move(e));
    }

    const int inputs = clamp_count(count.BinaryInSet, capacity_of(s.BinaryInSet_Entry_ID));
    for (int i = 0; i < inputs; ++i)
        info.inputs.push_back(
            {text_of(s.BinaryInSet_Entry_ID[i]), text_of(s.BinaryInSet_Entry_Name[i]), ""});
    const int outputs = clamp_count(count.BinaryOutSet, capacity_of(s.BinaryOutSet_Entry_ID));
    for (int i = 0; i < outputs; ++i)
        info.outputs.push_back({text_of(s.BinaryOutSet_Entry_ID[i]),
                                text_of(s.BinaryOutSet_Entry_Name[i]),
                                text_of(s.BinaryOutSet_Entry_Mode[i])});
    return info;
}

void apply_setup(device &model, const setup_info &setup) {
    fill_gap(model.unit.device_name, setup.unit.device_name);
    fill_gap(model.unit.model, setup.unit.model);
    fill_gap(model.unit.firmware, setup.unit.firmware);
    fill_gap(model.unit.mac, setup.unit.mac);
    fill_gap(model.unit.title, setup.unit.title);
    fill_gap(model.unit.contact, setup.unit.contact);

    auto same_id = [](const std::string &a, const std::string &b) {
        return !trim(a).empty() && trim(a) == trim(b);
    };
    for (sensor &s : model.sensors) {
        // Meter readings are appended by the library from the values document only; the
        // setup's sensor IDs name other entries.
        if (s.meter) continue;
        for (const setup_info::sensor_entry &e : setup.sensors) {
            if (!same_id(s.id, e.id)) continue;
            fill_gap(s.name, e.name);
            s.low = e.low;
            s.high = e.high;
            s.range_from = e.low || e.high ? range_source::setup : range_source::none;
            settle(s);
            break;
        }
    }
    for (binary_input &in : model.inputs)
        for (const setup_info::named &e : setup.inputs)
            if (same_id(in.id, e.id)) {
                fill_gap(in.name, e.name);
                break;
            }
    for (binary_output &out : model.outputs)
        for (const setup_info::named &e : setup.outputs)
            if (same_id(out.id, e.id)) {
                fill_gap(out.name, e.name);
                if (trim(out.mode_text).empty()) {
                    out.mode_text = e.mode_text;
                    out.mode = parse_output_mode(out.mode_text);
                }
                break;
            }
}

}  // namespace snapshot

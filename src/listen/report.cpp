#include "report.hpp"

#include <cmath>
#include <string_view>

#include "codecs.hpp"

namespace valdrin::listen {

using analysis::Event;
using analysis::EventKind;
using analysis::GooseBlock;
using analysis::Malformed;
using analysis::Snapshot;
using analysis::SvStream;
using codecs::bytes_of;
using codecs::created;
using codecs::int_of;
using codecs::none;

// --- Dict -------------------------------------------------------------------

Dict::Dict() : dict_(created(PyDict_New())), ok_(true) {}

Dict& Dict::set(const char* key, py::Ref value) {
    if (ok_) ok_ = value && PyDict_SetItemString(dict_.get(), key, value.get()) == 0;
    return *this;
}

Dict& Dict::set(const char* key, std::uint64_t value) { return set(key, int_of(value)); }

Dict& Dict::set_int(const char* key, std::int64_t value) {
    return set(key, created(PyLong_FromLongLong(value)));
}

Dict& Dict::set_bool(const char* key, bool value) { return set(key, created(PyBool_FromLong(value))); }

Dict& Dict::set_float(const char* key, double value) {
    return set(key, std::isnan(value) ? none() : created(PyFloat_FromDouble(value)));
}

py::Ref Dict::done() { return ok_ ? dict_ : py::Ref(); }

// "aa:bb:cc:dd:ee:ff", lower case.
py::Ref mac_of(const ethernet::Mac& mac) {
    constexpr char digits[] = "0123456789abcdef";
    char text[17];
    for (std::size_t i = 0; i < 6; ++i) {
        text[i * 3] = digits[mac[i] >> 4];
        text[i * 3 + 1] = digits[mac[i] & 0xF];
        if (i < 5) text[i * 3 + 2] = ':';
    }
    return created(PyUnicode_FromStringAndSize(text, sizeof text));
}

namespace {

py::Ref text_of(std::string_view text) {
    return created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

py::Ref vlan_of(std::int32_t vlan_id) { return vlan_id < 0 ? none() : int_of(static_cast<std::uint64_t>(vlan_id)); }


// Min and max exact; the quantiles within `quantile_error` (a fraction),
// shown to the digits that supports.
py::Ref intervals_of(const analysis::SvFigures& f, bool any) {
    using analysis::IntervalHistogram;
    Dict out;
    if (!any) {
        out.set("min", none()).set("median", none()).set("p99", none()).set("max", none());
    } else {
        out.set_float("min", f.interval_min_us)
            .set_float("median", IntervalHistogram::shown(f.interval_median_us))
            .set_float("p99", IntervalHistogram::shown(f.interval_p99_us))
            .set_float("max", f.interval_max_us);
    }
    return out.set_float("quantile_error", IntervalHistogram::RELATIVE_ERROR).done();
}

// Latency quantiles like intervals_of's; None when the counter does not
// wrap at the rate or none was measured.
py::Ref latency_of(const analysis::SvFigures& f) {
    using analysis::IntervalHistogram;
    if (std::isnan(f.latency_median_us)) return none();
    return Dict()
        .set_float("min", f.latency_min_us)
        .set_float("median", IntervalHistogram::shown(f.latency_median_us))
        .set_float("p99", IntervalHistogram::shown(f.latency_p99_us))
        .set_float("max", f.latency_max_us)
        .set_float("quantile_error", analysis::LatencyHistogram::RELATIVE_ERROR)
        .done();
}

// A stream's or block's confRevs other than the expected one: the ASDUs or
// frames (`unit`) that carried one, the first and its receive time; None
// when there were none.
template <class Entry>
py::Ref unexpected_conf_rev_of(const Entry& entry, const char* unit) {
    if (entry.unexpected_conf_rev == 0) return none();
    return Dict()
        .set(unit, entry.unexpected_conf_rev)
        .set("first", std::uint64_t{entry.first_unexpected_conf_rev})
        .set_int("first_ns", entry.first_unexpected_conf_rev_ns)
        .done();
}

py::Ref sv_to_py(const Snapshot& snapshot, std::size_t i, double nominal_hz) {
    const SvStream& s = snapshot.sv(i);
    const analysis::SvFigures f = analysis::figures(s, nominal_hz);
    py::Ref channels = f.values ? list_of(analysis::CHANNELS, [&](std::size_t c) {
        const analysis::ChannelFigures& ch = f.channels[c];
        return Dict()
            .set_float("rms", ch.rms)
            .set_float("magnitude", ch.magnitude)
            .set_float("angle_deg", ch.angle_deg)
            .set_float("frequency_hz", ch.frequency_hz)
            .done();
    }) : created(PyList_New(0));
    py::Ref raw = s.le_layout ? created(PyList_New(0)) : list_of(s.raw_count, [&](std::size_t k) {
        return created(PyLong_FromLong(s.raw[k]));
    });
    py::Ref quality = s.le_layout ? list_of(analysis::CHANNELS, [&](std::size_t c) { return int_of(s.quality[c]); })
                                  : created(PyList_New(0));
    std::uint64_t quality_changes = 0;
    for (std::uint64_t n : s.quality_changes) quality_changes += n;
    return Dict()
        .set("app_id", std::uint64_t{s.app_id})
        .set("dst", mac_of(s.dst_mac))
        .set("src", mac_of(s.src_mac))
        .set("vlan_id", vlan_of(s.vlan_id))
        .set("vlan_priority", vlan_of(s.vlan_priority))
        .set("sv_id", bytes_of(snapshot.sv_id(i)))
        .set("conf_rev", std::uint64_t{s.conf_rev})
        .set("unexpected_conf_rev", unexpected_conf_rev_of(s, "asdus"))
        .set("smp_synch", std::uint64_t{s.smp_synch})
        .set_bool("simulation", s.simulation)
        .set("smp_rate", s.has_smp_rate ? int_of(s.smp_rate) : none())
        .set("smp_mod", s.has_smp_mod ? int_of(s.smp_mod) : none())
        .set("sample_octets", std::uint64_t{s.sample_octets})
        .set("frames", s.frames)
        .set("asdus", s.asdus)
        .set("wrap", s.wrap_learnt ? int_of(s.wrap) : none())
        .set("smp_cnt", std::uint64_t{s.smp_cnt})
        .set("lost", s.lost)
        .set("duplicated", s.duplicated)
        .set("out_of_order", s.out_of_order)
        .set("backward_times", s.backward_times)
        .set("conf_rev_changes", s.conf_rev_changes)
        .set("smp_synch_changes", s.smp_synch_changes)
        .set("simulation_changes", s.simulation_changes)
        .set("quality_changes", quality_changes)
        .set("quality", quality)
        .set_int("first_ns", s.first_ns)
        .set_int("last_ns", s.last_ns)
        .set("interval_us", intervals_of(f, s.intervals.count() > 0))
        .set("latency_us", latency_of(f))
        .set("profile", f.profile ? text_of(sv::profile_name(*f.profile).view()) : none())
        .set("asdus_per_frame", std::uint64_t{s.frame_asdus})
        .set("outages", s.outages)
        .set_float("longest_outage_ms", static_cast<double>(s.longest_outage_ns) / 1e6)
        .set_bool("silent", s.silent)
        .set_float("rate", f.asdu_rate)
        .set("samples_per_cycle", std::uint64_t{f.samples_per_cycle})
        .set("channels", channels)
        .set("raw", raw)
        .done();
}

// The block's findings by key; "strict_deviations" maps the last text of
// each deviation kind met to the frames of that kind.
py::Ref findings_of(const GooseBlock& b) {
    Dict out;
    for (std::size_t f = 0; f < analysis::FINDING_KINDS; ++f) {
        const auto kind = static_cast<analysis::FindingKind>(f);
        const std::string name(analysis::finding_name(kind));
        if (kind != analysis::FindingKind::StrictDeviation) {
            out.set(name.c_str(), b.findings[f]);
            continue;
        }
        py::Ref texts = created(PyDict_New());
        for (std::size_t d = 0; d < analysis::DEVIATION_KINDS && texts; ++d) {
            if (b.deviations[d] == 0) continue;
            ber::Text text;
            goose::describe(b.last_deviation[d], text);
            py::Ref key = text_of(text.view());
            py::Ref count = int_of(b.deviations[d]);
            if (!key || !count || PyDict_SetItem(texts.get(), key.get(), count.get()) < 0) texts = {};
        }
        out.set(name.c_str(), texts);
    }
    return out.done();
}

// The receive time of the first frame of each finding met, by key; for
// "strict_deviations" by text, as in findings_of.
py::Ref first_findings_of(const GooseBlock& b) {
    Dict out;
    for (std::size_t f = 0; f < analysis::FINDING_KINDS; ++f) {
        if (b.findings[f] == 0) continue;
        const auto kind = static_cast<analysis::FindingKind>(f);
        const std::string name(analysis::finding_name(kind));
        if (kind != analysis::FindingKind::StrictDeviation) {
            out.set_int(name.c_str(), b.first_finding_ns[f]);
            continue;
        }
        Dict texts;
        for (std::size_t d = 0; d < analysis::DEVIATION_KINDS; ++d) {
            if (b.deviations[d] == 0) continue;
            ber::Text text;
            goose::describe(b.last_deviation[d], text);
            const std::string key(text.view());
            texts.set_int(key.c_str(), b.first_deviation_ns[d]);
        }
        out.set(name.c_str(), texts.done());
    }
    return out.done();
}

py::Ref goose_to_py(const Snapshot& snapshot, std::size_t i) {
    const GooseBlock& b = snapshot.goose(i);
    return Dict()
        .set("app_id", std::uint64_t{b.app_id})
        .set("dst", mac_of(b.dst_mac))
        .set("src", mac_of(b.src_mac))
        .set("vlan_id", vlan_of(b.vlan_id))
        .set("vlan_priority", vlan_of(b.vlan_priority))
        .set("gocb_ref", bytes_of(snapshot.gocb_ref(i)))
        .set("go_id", b.has_go_id ? bytes_of(snapshot.go_id(i)) : none())
        .set("dat_set", bytes_of(snapshot.dat_set(i)))
        .set("conf_rev", b.conf_rev)
        .set("unexpected_conf_rev", unexpected_conf_rev_of(b, "frames"))
        .set("frames", b.frames)
        .set("st_num", b.st_num)
        .set("sq_num", b.sq_num)
        .set("state_changes", b.state_changes)
        .set("lost", b.lost)
        .set("duplicated", b.duplicated)
        .set("out_of_order", b.out_of_order)
        .set("resyncs", b.resyncs)
        .set("tal_expired", b.tal_expired)
        .set("time_allowed_to_live", b.time_allowed_to_live)
        .set_bool("simulation", b.simulation)
        .set_bool("nds_com", b.nds_com)
        .set("conf_rev_changes", b.conf_rev_changes)
        .set("simulation_changes", b.simulation_changes)
        .set("nds_com_changes", b.nds_com_changes)
        .set_int("first_ns", b.first_ns)
        .set_int("last_ns", b.last_ns)
        .set_int("last_change_ns", b.last_change_ns)
        .set("findings", findings_of(b))
        .set("findings_first_ns", first_findings_of(b))
        .set("frame", bytes_of(snapshot.frame(i)))
        .done();
}

py::Ref malformed_to_py(const Snapshot& snapshot) {
    Dict reasons;
    const analysis::Totals& t = snapshot.totals();
    for (std::size_t k = 0; k < analysis::MALFORMED_KINDS; ++k) {
        if (t.malformed_by[k] == 0) continue;
        const auto reason = static_cast<Malformed>(k);
        const std::string name(analysis::malformed_name(reason));
        reasons.set(name.c_str(), Dict()
                                      .set("count", t.malformed_by[k])
                                      .set("last", text_of(snapshot.malformed_message(reason)))
                                      .done());
    }
    return reasons.done();
}

}  // namespace

py::Ref report_to_py(const Snapshot& snapshot, double nominal_hz) {
    const analysis::Totals& t = snapshot.totals();
    return Dict()
        .set("frames", t.frames)
        .set("other", t.other)
        .set("malformed", t.malformed)
        .set("malformed_reasons", malformed_to_py(snapshot))
        .set("sv_frames", t.sv_frames)
        .set("sv_asdus", t.sv_asdus)
        .set("goose_frames", t.goose_frames)
        .set("sv_untracked", t.sv_untracked)
        .set("goose_untracked", t.goose_untracked)
        .set("first_ns", t.frames ? created(PyLong_FromLongLong(t.first_ns)) : none())
        .set("last_ns", t.frames ? created(PyLong_FromLongLong(t.last_ns)) : none())
        .set("end_ns", t.finished ? created(PyLong_FromLongLong(t.end_ns)) : none())
        .set("sv", list_of(snapshot.sv_count(), [&](std::size_t i) { return sv_to_py(snapshot, i, nominal_hz); }))
        .set("goose", list_of(snapshot.goose_count(), [&](std::size_t i) { return goose_to_py(snapshot, i); }))
        .done();
}

py::Ref event_to_py(const analysis::StoredEvent& stored) {
    const Event& e = stored.event;
    Dict out;
    out.set("kind", text_of(analysis::event_kind_name(e.kind)))
        .set_int("time_ns", e.time_ns)
        .set_bool("goose", e.goose)
        .set("index", std::uint64_t{e.index})
        .set("app_id", std::uint64_t{e.app_id})
        .set("dst", mac_of(e.dst_mac))
        .set("id", bytes_of(stored.id_octets()));
    switch (e.kind) {
        case EventKind::GooseBlockSeen:  // its first frame: the state it was found in
        case EventKind::GooseStateChange:
            out.set("st_num", e.st_num).set("sq_num", e.sq_num).set("frame", bytes_of(stored.frame_octets()));
            break;
        case EventKind::TalExpired:
            out.set("time_allowed_to_live", e.time_allowed_to_live);
            break;
        case EventKind::ConfRevChange:
        case EventKind::SimulationChange:
        case EventKind::NdsComChange:
            out.set("old", e.old_value).set("new", e.new_value);
            break;
        case EventKind::DecodeFailure:
            out.set("reason", text_of(analysis::malformed_name(e.reason)))
                .set("message", text_of(e.message.view()))
                .set("frame", bytes_of(stored.frame_octets()));
            break;
        case EventKind::Finding:
            out.set("finding", text_of(analysis::finding_name(e.finding))).set("text", text_of(e.message.view()));
            break;
        case EventKind::SvDeparture:
            out.set("smp_cnt", std::uint64_t{e.smp_cnt}).set_bool("outgoing", e.outgoing);
            break;
        case EventKind::OvercurrentTrip:
        case EventKind::OvercurrentReset:
            out.set("smp_cnt", std::uint64_t{e.smp_cnt}).set_float("rms", e.rms);
            break;
        case EventKind::ProtectionBlocked:
            out.set("smp_cnt", std::uint64_t{e.smp_cnt})
                .set("reason", text_of(valdrin::text_of(analysis::block_reason_names, e.block_reason)))
                .set("lost", e.lost);
            break;
        case EventKind::ProtectionReleased:
            out.set("smp_cnt", std::uint64_t{e.smp_cnt});
            break;
        case EventKind::SvStreamSeen:
            break;
    }
    return out.done();
}

}  // namespace valdrin::listen

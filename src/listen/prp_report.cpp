#include "prp_report.hpp"

#include <string>
#include <string_view>

#include "codecs.hpp"
#include "report.hpp"

namespace valdrin::listen {

namespace {

using codecs::created;
using codecs::int_of;

constexpr prp::Lan LANS[] = {prp::Lan::A, prp::Lan::B};

// {"min", "median", "p99", "max"} in µs; None each when no pair came.
py::Ref skew_of(const prp::SkewHistogram& skew) {
    constexpr double US = 1e3;
    if (skew.count() == 0) {
        return Dict().set("min", codecs::none()).set("median", codecs::none())
            .set("p99", codecs::none()).set("max", codecs::none()).done();
    }
    return Dict()
        .set_float("min", static_cast<double>(skew.min()) / US)
        .set_float("median", skew.quantile(0.5) / US)
        .set_float("p99", skew.quantile(0.99) / US)
        .set_float("max", static_cast<double>(skew.max()) / US)
        .done();
}

py::Ref flow_of(const prp::Flow& f) {
    return Dict()
        .set("src", mac_of(f.src_mac))
        .set("dst", mac_of(f.dst_mac))
        .set("ethertype", std::uint64_t{f.ethertype})
        .set("app_id", std::uint64_t{f.app_id})
        .set("frames_a", f.frames[0])
        .set("frames_b", f.frames[1])
        .set("lost_a", f.lost[0])
        .set("lost_b", f.lost[1])
        .set("wrong_lan", f.wrong_lan[0] + f.wrong_lan[1])
        .set("bad_size", f.bad_size[0] + f.bad_size[1])
        .set("repeated", f.repeated)
        .set("skew_us", skew_of(f.skew))
        .done();
}

// A time in ns, None for 0 (never).
py::Ref time_of(std::int64_t ns) { return ns == 0 ? codecs::none() : created(PyLong_FromLongLong(ns)); }

py::Ref node_of(const prp::Node& n) {
    return Dict()
        .set("mac", mac_of(n.mac))
        .set("frames_a", n.frames[0])
        .set("frames_b", n.frames[1])
        .set("supervision_a", n.supervision[0])
        .set("supervision_b", n.supervision[1])
        .set("last_supervision_a_ns", time_of(n.last_supervision_ns[0]))
        .set("last_supervision_b_ns", time_of(n.last_supervision_ns[1]))
        .done();
}

py::Ref lan_totals(const prp::ReceiverTotals& t, std::size_t l) {
    return Dict()
        .set("frames", t.frames[l])
        .set("untrailed", t.untrailed[l])
        .set("supervision", t.supervision[l])
        .set("bad_supervision", t.bad_supervision[l])
        .set("hsr", t.hsr[l])
        .set("hsr_bad_size", t.hsr_bad_size[l])
        .done();
}


}  // namespace

py::Ref prp_to_py(const prp::Receiver& receiver) {
    const prp::ReceiverTotals& t = receiver.totals();
    Dict lans;
    for (prp::Lan lan : LANS) {
        lans.set(lan == prp::Lan::A ? "A" : "B", lan_totals(t, static_cast<std::size_t>(lan)));
    }
    return Dict()
        .set("lans", lans.done())
        .set("discarded", t.discarded)
        .set("nodes_untracked", t.nodes_untracked)
        .set("flows_untracked", t.flows_untracked)
        .set("streams", list_of(receiver.flow_count(), [&](std::size_t i) { return flow_of(receiver.flow(i)); }))
        .set("nodes", list_of(receiver.node_count(), [&](std::size_t i) { return node_of(receiver.node(i)); }))
        .done();
}

py::Result<prp::Lan> lan_from(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        py::raise(PyExc_TypeError, "lan must be 'A' or 'B'");
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return std::nullopt;
    const std::string_view name(text, static_cast<std::size_t>(size));
    for (prp::Lan lan : LANS) {
        if (name == prp::lan_name(lan)) return lan;
    }
    py::raise(PyExc_ValueError, "lan must be 'A' or 'B', got '" + std::string(name) + "'");
    return std::nullopt;
}

}  // namespace valdrin::listen

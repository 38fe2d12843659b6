#include "listen.hpp"

#include <string>

#include "capture/rx_ring.hpp"
#include "rt_thread.hpp"

namespace valdrin::listen {

namespace {

// The most SV streams or GOOSE blocks an analysis tracks, each.
constexpr std::size_t MOST_TRACKED = 65536;

// A count from 1 to `most`, or `fallback` when left out.
py::Result<std::size_t> count(const char* param, PyObject* object, std::size_t fallback, std::size_t most) {
    if (object == nullptr) return fallback;
    auto value = py::argument(param, object, py::to_u64);
    if (!value) return std::nullopt;
    if (*value < 1 || *value > most) {
        py::raise(PyExc_ValueError,
                  std::string(param) + " must be between 1 and " + std::to_string(most) + ", got " + std::to_string(*value));
        return std::nullopt;
    }
    return static_cast<std::size_t>(*value);
}

}  // namespace

py::Result<Options> options_from(PyObject* const (&bound)[5]) {
    Options options;
    auto sv = count("sv_streams", bound[0], options.limits.sv_streams, MOST_TRACKED);
    if (!sv) return std::nullopt;
    auto goose = count("goose_blocks", bound[1], options.limits.goose_blocks, MOST_TRACKED);
    if (!goose) return std::nullopt;
    options.limits.sv_streams = *sv;
    options.limits.goose_blocks = *goose;
    if (bound[2] != nullptr) {
        auto hz = py::argument("nominal_hz", bound[2], py::to_f64);
        if (!hz) return std::nullopt;
        if (*hz != 50.0 && *hz != 60.0) {
            py::raise(PyExc_ValueError, "nominal_hz must be 50 or 60, got " + std::to_string(*hz));
            return std::nullopt;
        }
        options.nominal_hz = *hz;
    }
    auto events = count("max_events", bound[3], options.max_events, std::size_t{1} << 24);
    if (!events) return std::nullopt;
    options.max_events = *events;
    auto conf_rev = py::argument("expect_conf_rev", bound[4] ? bound[4] : Py_None,
                                 [](PyObject* o) { return py::to_optional<std::uint64_t>(o, py::to_u64); });
    if (!conf_rev) return std::nullopt;
    options.expected_conf_rev = *conf_rev;
    return options;
}

bool add_limits(PyObject* module) {
    const analysis::Limits limits{};
    return PyModule_AddIntConstant(module, "DEFAULT_SV_STREAMS", static_cast<long>(limits.sv_streams)) == 0 &&
           PyModule_AddIntConstant(module, "DEFAULT_GOOSE_BLOCKS", static_cast<long>(limits.goose_blocks)) == 0 &&
           PyModule_AddIntConstant(module, "MOST_TRACKED", static_cast<long>(MOST_TRACKED)) == 0 &&
           PyModule_AddIntConstant(module, "MAX_CPU", static_cast<long>(io::MAX_CPU)) == 0 &&
           PyModule_AddIntConstant(module, "MAX_BLOCK_TIMEOUT_MS", static_cast<long>(io::MAX_BLOCK_TIMEOUT_MS)) == 0 &&
           PyModule_AddIntConstant(module, "COUNTS_PER_AMPERE", static_cast<long>(analysis::COUNTS_PER_AMPERE)) == 0 &&
           PyModule_AddIntConstant(module, "COUNTS_PER_VOLT", static_cast<long>(analysis::COUNTS_PER_VOLT)) == 0;
}

}  // namespace valdrin::listen

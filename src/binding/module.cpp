#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "binding/binding.hpp"
#include "driver/driver.hpp"

namespace py = pybind11;

// The call keeps the interpreter's lock for its whole length: the workers
// never touch Python, and callers rely on one job running at a time.
PYBIND11_MODULE(kestrava, m) {
    m.doc() = kestrava::module_docstring;
    m.def("hls_encoder", &kestrava::hls_encoder, kestrava::hls_encoder_docstring,
          py::arg("input"), py::arg("output"),
          py::arg("resolution") = kestrava::default_resolutions(),
          py::arg("bitrate") = kestrava::default_bitrates_list(),
          py::arg("key") = std::string(kestrava::default_key_info_path));
}

// Python binding "nimbragst" of the stream API.
//
// Threading: start_stream blocks for the stream's whole life, so it runs without the
// GIL; frame callbacks arrive on GStreamer streaming threads that Python never created
// and take the GIL for each frame. Nothing thrown on the Python side may reach those
// threads: every error is reported through sys.unraisablehook and the frame answers -1.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <Python.h>
#include <cxxabi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "StreamEvents.h"
#include "StreamRegistry.h"
#include "nimbra.h"

namespace py = pybind11;
using Velkor::Nimbra::Image;
using FrameFn = std::function<int8_t(const Image&)>;

namespace {

// Pixels handed to Python through as_memoryview(). The view must never reach memory the
// pipeline reuses (a view, or a numpy array over it, may be kept after the callback), so
// it exposes a private copy of the frame that lives as long as any view of it; what the
// callback writes there is copied back into the frame when the callback returns, so
// drawings still reach the outputs.
struct FramePixels {
  std::vector<uint8_t> bytes;
};

// The frame whose callback runs on this thread, and its pixels once Python asked for a
// view.
struct CurrentFrame {
  const uint8_t* data = nullptr;
  size_t size = 0;
  std::shared_ptr<FramePixels> pixels;
};
thread_local CurrentFrame* t_current_frame = nullptr;

std::shared_ptr<FramePixels> pixels_of(const Image& img) {
  CurrentFrame* cur = t_current_frame;
  if (!cur || !img.data || cur->data != img.data) return nullptr;
  if (!cur->pixels) {
    cur->pixels = std::make_shared<FramePixels>();
    cur->pixels->bytes.assign(img.data, img.data + cur->size);
  }
  return cur->pixels;
}

// The Image a Python callback receives: a copy of the frame's record that owns a copy
// of the frame's objects (the frame's own list lives only as long as the callback).
struct DetectedFrame : Image {
  Velkor::Nimbra::FrameObjects owned;
  explicit DetectedFrame(const Image& frame) : Image(frame) {
    if (const Velkor::Nimbra::FrameObjects* f = Velkor::Nimbra::frame_objects_of(frame)) owned = *f;
    reserved0 = (uint64_t)(uintptr_t)&owned;
  }
  DetectedFrame(const DetectedFrame&) = delete;
};

// The frame's objects as a NumPy structured array, one record per object.
py::object objects_array(const Image& img) {
  py::module_ np = py::module_::import("numpy");
  py::list fields;
  fields.append(py::make_tuple("class_id", "<i4"));
  fields.append(py::make_tuple("track_id", "<i8"));
  fields.append(py::make_tuple("age", "<i4"));
  fields.append(py::make_tuple("confidence", "<f4"));
  fields.append(py::make_tuple("x", "<f4"));
  fields.append(py::make_tuple("y", "<f4"));
  fields.append(py::make_tuple("width", "<f4"));
  fields.append(py::make_tuple("height", "<f4"));
  fields.append(py::make_tuple("label", "<U32"));
  py::list rows;
  for (const Velkor::Nimbra::DetectedObject& o : Velkor::Nimbra::objects_of(img))
    rows.append(py::make_tuple(o.class_id, o.track_id, o.age, o.confidence, o.x, o.y, o.width, o.height,
                               o.label.substr(0, 32)));
  return np.attr("array")(rows, np.attr("dtype")(fields));
}

// Once the interpreter is going away a foreign thread must not touch it: taking the GIL
// there would park (or end) a GStreamer streaming thread for good.
bool python_usable() { return Py_IsInitialized() && !_Py_IsFinalizing(); }

// Shared ownership of the user's callable. The stream may drop its copies of the frame
// callback on any thread, with or without the GIL, so the last owner takes the GIL
// before letting go of the reference.
using PyFuncHolder = std::shared_ptr<py::object>;

PyFuncHolder make_pyfunc_holder(py::object&& fn) {
  return PyFuncHolder(new py::object(std::move(fn)), [](py::object* held) {
    if (!python_usable()) {
      // Leaked on purpose: dropping a reference without a live interpreter would crash.
      return;
    }
    py::gil_scoped_acquire gil;
    delete held;
  });
}

// Runs `work` with the GIL released. The GIL is taken back in ordinary code rather than
// in a destructor (py::gil_scoped_release's): when a daemon thread comes back while the
// interpreter finalizes, Python ends the thread with a forced unwind, and that must not
// pass through a noexcept destructor (std::terminate).
template <class Work>
auto without_gil(Work&& work) -> decltype(work()) {
  PyThreadState* state = PyEval_SaveThread();
  try {
    if constexpr (std::is_void_v<decltype(work())>) {
      work();
      PyEval_RestoreThread(state);
    } else {
      auto result = work();
      PyEval_RestoreThread(state);
      return result;
    }
  } catch (abi::__forced_unwind&) {
    throw;  // the thread is being ended; it must not take the GIL again
  } catch (...) {
    PyEval_RestoreThread(state);
    throw;
  }
}

// A Python thread state made for a foreign thread and dropped again costs more than the
// call itself (3.11 maps and unmaps its frame stack each time), so a native thread that
// Python never knew keeps the state it got for its first frame until it exits.
// Streaming threads come from GLib's pools and are reused, so there are only a few.
// Threads Python created (or the main thread) own their state already and are left alone:
// Python deletes it when such a thread ends.
struct KeptThreadState {
  bool kept = false;
  ~KeptThreadState() {
    if (!kept || !python_usable()) return;
    try {
      py::gil_scoped_acquire gil;
      // Undoes the extra reference; the state goes when `gil` lets go of the last one.
      gil.dec_ref();
    } catch (...) {
    }
  }
};

thread_local KeptThreadState t_kept_state;

// The callback proper; GIL held. Plain C API on purpose: Python code run from here (the
// callback, sys.unraisablehook, a __del__) may give up the GIL, and if Python ends the
// thread meanwhile no destructor of ours may touch an object on the way out.
int8_t run_callback(PyObject* fn, const Image& frame) {
  // The record is copied so the callee may keep the object; the pixels are not. The
  // objects are, with the copy: they stay valid as long as the Python object.
  DetectedFrame* copy = new DetectedFrame(frame);
  PyObject* image = nullptr;
  try {
    image = py::cast(copy, py::return_value_policy::take_ownership).release().ptr();
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  if (!image) {
    PyErr_WriteUnraisable(fn);
    return -1;
  }
  CurrentFrame current;
  current.data = frame.data;
  current.size = frame.size;
  CurrentFrame* outer = t_current_frame;
  t_current_frame = &current;
  PyObject* result = PyObject_CallOneArg(fn, image);
  t_current_frame = outer;
  // What was drawn through a view goes into the frame itself.
  if (current.pixels && frame.data && current.pixels->bytes.size() == frame.size)
    memcpy(frame.data, current.pixels->bytes.data(), frame.size);
  // The pixels belong to the pipeline buffer and go away after this call: a kept Image
  // must not read them later.
  copy->data = nullptr;
  Py_DECREF(image);
  if (!result) {
    PyErr_WriteUnraisable(fn);
    return -1;
  }
  int rc = -1;
  if (result == Py_None) {
    // A callback that returns nothing (no return statement) means "nothing to report".
    rc = 0;
  } else if (!PyIndex_Check(result)) {
    PyErr_Format(PyExc_TypeError, "frame callback must return an int, not %.200s", Py_TYPE(result)->tp_name);
  } else if (PyObject* as_int = PyNumber_Index(result)) {
    // Masking keeps the low bits of any int (also huge or negative ones): 300 -> 44.
    const unsigned long long bits = PyLong_AsUnsignedLongLongMask(as_int);
    Py_DECREF(as_int);
    rc = static_cast<int8_t>(static_cast<uint8_t>(bits & 0xffu));
  }
  // Reported before the result goes: its __del__ must not run with the error pending.
  if (PyErr_Occurred()) PyErr_WriteUnraisable(fn);
  Py_DECREF(result);
  return static_cast<int8_t>(rc);
}

// The frame bridge, run on the caller's thread (normally a streaming thread). Nothing
// but a forced unwind (Python ending a thread during finalization) leaves it.
int8_t call_python(const PyFuncHolder& holder, const Image& frame) {
  if (!python_usable()) return -1;
  std::unique_ptr<py::gil_scoped_acquire> gil;
  try {
    // Asked before taking the GIL: only then does "no state" mean a foreign thread.
    const bool keep = !t_kept_state.kept && PyGILState_GetThisThreadState() == nullptr;
    gil = std::make_unique<py::gil_scoped_acquire>();
    if (keep) {
      gil->inc_ref();
      t_kept_state.kept = true;
    }
    return run_callback(holder->ptr(), frame);
  } catch (abi::__forced_unwind&) {
    // The GIL is not ours any more and the thread is ending: skip the release.
    (void)gil.release();
    throw;
  } catch (...) {
    // Only taking the GIL can throw here; without it nothing can be reported.
  }
  return -1;
}

FrameFn make_frame_callback(const PyFuncHolder& holder) {
  return [holder](const Image& frame) -> int8_t { return call_python(holder, frame); };
}

// `config`: a configuration file to read from now on (as set_config_path), or None.
void use_config(const py::object& config) {
  if (config.is_none()) return;
  const std::string path = py::str(py::module_::import("os").attr("fspath")(config));
  if (Velkor::Nimbra::set_config_path(path) != 0) {
    // The OSError subclass Python code expects: FileNotFoundError, IsADirectoryError, ...
    struct stat st;
    if (stat(path.c_str(), &st) == 0) errno = S_ISDIR(st.st_mode) ? EISDIR : access(path.c_str(), R_OK) ? errno : EIO;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
  }
}

int py_start_stream(const std::string& stream_id, py::function cb, const py::object& config) {
  use_config(config);
  PyFuncHolder holder = make_pyfunc_holder(std::move(cb));
  auto fn = std::make_unique<FrameFn>(make_frame_callback(holder));
  // `holder` outlives the library's copies, so the last reference is dropped below on
  // this thread with the GIL held, never inside the library without it.
  const int rc = without_gil([&] { return Velkor::Nimbra::start_stream(stream_id, *fn); });
  fn.reset();
  holder.reset();
  return rc;
}

// Runs the same bridge on a fresh C++ thread (no Python thread state, GIL not held by
// the caller), as a streaming thread would. The frame points at scratch memory.
// `repeat` runs it that many times on the same thread (for timing); the last result counts.
int py_call_with_image(py::function cb, int width, int height, int repeat) {
  if (width < 0 || height < 0) throw py::value_error("width and height must not be negative");
  if (repeat < 1) throw py::value_error("repeat must be at least 1");
  const uint64_t bytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3u;
  if (bytes > (1ull << 30)) throw py::value_error("synthetic image too large");
  std::vector<uint8_t> pixels(static_cast<size_t>(bytes));
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i);
  Image frame;
  frame.stream_id = "_call_with_image";
  frame.data = pixels.empty() ? nullptr : pixels.data();
  frame.width = width;
  frame.height = height;
  frame.src_width = width;
  frame.src_height = height;
  frame.size = pixels.size();
  frame.fps = 25.0;
  frame.frame_index = 1;
  frame.format = "RGB";

  FrameFn fn = make_frame_callback(make_pyfunc_holder(std::move(cb)));
  int result = -1;
  without_gil([&] {
    // The function, and with it the only owner of the callable, dies on that thread
    // too: the holder's deleter must take the GIL there.
    std::thread worker([&result, &frame, repeat, f = std::move(fn)]() mutable {
      for (int i = 0; i < repeat; ++i) result = f(frame);
      f = nullptr;
    });
    worker.join();
  });
  return result;
}

// The C++ side of the bridge benchmark: a callback that reads what the trivial Python
// one reads, and counts.
long py_start_stream_cpp_counting(const std::string& stream_id) {
  std::atomic<long> frames{0};
  std::atomic<int32_t> last_width{0};
  FrameFn fn = [&frames, &last_width](const Image& frame) -> int8_t {
    last_width.store(frame.width, std::memory_order_relaxed);
    frames.fetch_add(1, std::memory_order_relaxed);
    return 0;
  };
  const int rc = without_gil([&] { return Velkor::Nimbra::start_stream(stream_id, fn); });
  return rc == 0 ? frames.load() : -1;
}

// Unlike set_config_path, takes a file that does not exist (yet): the tests point the
// library at a missing file on purpose. The library keeps the bare pointers, possibly on
// a running stream's thread, so every path ever set stays allocated for the life of the
// process.
void py_set_config_path(const std::string& path) {
  static std::mutex guard;
  static std::list<std::string> kept;
  std::lock_guard<std::mutex> lock(guard);
  kept.push_back(path);
  g_stream_conf_file = kept.back().c_str();
  stream_conf_file = kept.back().c_str();
}

cv::Mat py_get_data(int rows, int cols, const py::object& data) {
  std::string bytes;
  if (PyUnicode_Check(data.ptr())) {
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(data.ptr(), &len);
    if (!utf8) throw py::error_already_set();
    bytes.assign(utf8, static_cast<size_t>(len));
  } else if (PyBytes_Check(data.ptr())) {
    bytes.assign(PyBytes_AS_STRING(data.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(data.ptr())));
  } else {
    throw py::type_error(std::string("get_data() expects str or bytes, not ") + Py_TYPE(data.ptr())->tp_name);
  }
  if (rows < 0 || cols < 0) throw py::value_error("get_data(): rows and cols must not be negative");
  const uint64_t need = static_cast<uint64_t>(rows) * static_cast<uint64_t>(cols) * 3u;
  if (bytes.size() < need) {
    throw py::value_error("get_data(): " + std::to_string(rows) + "x" + std::to_string(cols) +
                          " RGB pixels need " + std::to_string(need) + " bytes, got " +
                          std::to_string(bytes.size()));
  }
  // get_data wants a mutable pointer; the copy keeps the Python object untouched.
  std::vector<char> scratch(bytes.begin(), bytes.end());
  scratch.push_back('\0');
  return Velkor::Nimbra::get_data(rows, cols, scratch.data());
}

py::buffer_info mat_buffer(cv::Mat& mat) {
  if (mat.depth() != CV_8U) throw py::type_error("mat_image: only 8-bit matrices expose a buffer");
  const ssize_t channels = mat.channels();
  const ssize_t row_stride = mat.empty() ? mat.cols * channels : static_cast<ssize_t>(mat.step[0]);
  return py::buffer_info(mat.data, 1, py::format_descriptor<uint8_t>::format(), 3,
                         {static_cast<ssize_t>(mat.rows), static_cast<ssize_t>(mat.cols), channels},
                         {row_stride, channels, static_cast<ssize_t>(1)}, false);
}

// ---- events: callbacks on the library's event thread, poll, feed, services ----
// The event thread is a native thread Python never created; it takes the GIL per event
// the way the frame bridge does, and keeps its thread state between events.
void call_event_python(const PyFuncHolder& holder, const Velkor::Nimbra::Event& event) {
  if (!python_usable()) return;
  std::unique_ptr<py::gil_scoped_acquire> gil;
  try {
    const bool keep = !t_kept_state.kept && PyGILState_GetThisThreadState() == nullptr;
    gil = std::make_unique<py::gil_scoped_acquire>();
    if (keep) {
      gil->inc_ref();
      t_kept_state.kept = true;
    }
    PyObject* arg = nullptr;
    try {
      arg = py::cast(event).release().ptr();
    } catch (py::error_already_set& e) {
      e.restore();
    }
    if (!arg) {
      PyErr_WriteUnraisable(holder->ptr());
      return;
    }
    PyObject* result = PyObject_CallOneArg(holder->ptr(), arg);
    Py_DECREF(arg);
    if (!result) PyErr_WriteUnraisable(holder->ptr());
    Py_XDECREF(result);
  } catch (abi::__forced_unwind&) {
    (void)gil.release();
    throw;
  } catch (...) {
  }
}

std::mutex g_py_event_handles_mutex;
std::vector<int> g_py_event_handles;

int py_on_event(py::function fn) {
  PyFuncHolder holder = make_pyfunc_holder(std::move(fn));
  const int handle = Velkor::Nimbra::on_event(
      [holder](const Velkor::Nimbra::Event& e) { call_event_python(holder, e); });
  std::lock_guard<std::mutex> g(g_py_event_handles_mutex);
  g_py_event_handles.push_back(handle);
  return handle;
}

bool py_remove_event_callback(int handle) {
  {
    std::lock_guard<std::mutex> g(g_py_event_handles_mutex);
    g_py_event_handles.erase(std::remove(g_py_event_handles.begin(), g_py_event_handles.end(), handle),
                             g_py_event_handles.end());
  }
  // The event thread may be waiting for the GIL inside this very callback.
  return without_gil([&] { return Velkor::Nimbra::remove_event_callback(handle); });
}

// objects: (track_id, label, confidence, x, y, width, height[, class_id]) each.
void py_feed_event_frame(const std::string& stream_id, int64_t frame_index, int width, int height,
                         const std::vector<py::tuple>& objects, int64_t pts_ns, double wall_time_s) {
  std::vector<Velkor::Nimbra::DetectedObject> objs;
  for (const py::tuple& t : objects) {
    if (t.size() < 7 || t.size() > 8)
      throw py::value_error("each object is (track_id, label, confidence, x, y, width, height[, class_id])");
    Velkor::Nimbra::DetectedObject o;
    o.track_id = t[0].cast<int64_t>();
    o.label = t[1].cast<std::string>();
    o.confidence = t[2].cast<float>();
    o.x = t[3].cast<float>();
    o.y = t[4].cast<float>();
    o.width = t[5].cast<float>();
    o.height = t[6].cast<float>();
    if (t.size() == 8) o.class_id = t[7].cast<int32_t>();
    objs.push_back(std::move(o));
  }
  Velkor::Nimbra::EventFrame f;
  f.stream_id = stream_id;
  f.frame_index = frame_index;
  f.width = width;
  f.height = height;
  f.pts_ns = pts_ns;
  f.wall_time_s = wall_time_s;
  without_gil([&] { Velkor::Nimbra::feed_event_frame(f, objs); });
}
// ---- end events ----

}  // namespace

PYBIND11_MODULE(nimbragst, m) {
  m.doc() = "pybind11 example plugin";

  // Deliberately not exported to module scope: nimbragst.SINFO must not exist.
  py::enum_<Velkor::Nimbra::GSTLogLevel>(m, "LogLevel")
      .value("SINFO", Velkor::Nimbra::SINFO)
      .value("SWARNING", Velkor::Nimbra::SWARNING)
      .value("SERROR", Velkor::Nimbra::SERROR)
      .value("SDEBUG", Velkor::Nimbra::SDEBUG)
      .value("SOFF", Velkor::Nimbra::SOFF);

  py::enum_<Velkor::Nimbra::StreamType>(m, "StreamType")
      .value("EMPTY", Velkor::Nimbra::EMPTY)
      .value("WAYLANDSINK", Velkor::Nimbra::WAYLANDSINK)
      .value("RTSPSINK", Velkor::Nimbra::RTSPSINK);

  py::class_<Image>(m, "Image")
      .def(py::init<>())
      .def_readwrite("width", &Image::width)
      .def_readwrite("height", &Image::height)
      .def_readwrite("size", &Image::size)
      .def_readwrite("fps", &Image::fps)
      .def_readwrite("pipe_status", &Image::pipe_status)
      .def_readonly("stream_id", &Image::stream_id, "Id of the stream the frame comes from.")
      .def_readonly("pts", &Image::pts, "Presentation time of the frame in nanoseconds; -1 when unknown.")
      .def_readonly("frame_index", &Image::frame_index,
                    "Running number of the frame within its stream (1 for the first).")
      .def_property_readonly(
          "objects", [](const Image& img) { return Velkor::Nimbra::objects_of(img); },
          "Objects of a detecting stream's frame (a list of DetectedObject; empty otherwise).")
      .def_property_readonly("objects_array", &objects_array,
                             "The same objects as a NumPy structured array with the fields class_id, track_id, "
                             "age, confidence, x, y, width, height and label.")
      .def(
          "to_bytes",
          [](const Image& img) {
            if (!img.data || img.size == 0) return py::bytes();
            if (auto px = t_current_frame && t_current_frame->pixels ? pixels_of(img) : nullptr)
              return py::bytes(reinterpret_cast<const char*>(px->bytes.data()), px->bytes.size());
            return py::bytes(reinterpret_cast<const char*>(img.data), img.size);
          },
          "Copy of the frame's `size` bytes (b'' without pixels).")
      .def(
          "as_memoryview",
          [](Image& img) -> py::object {
            static char nothing = 0;
            if (!img.data || img.size == 0) return py::memoryview::from_memory(&nothing, 0, false);
            std::shared_ptr<FramePixels> px = pixels_of(img);
            if (!px) {
              // Outside a frame callback there is no frame whose memory could be reused.
              return py::memoryview::from_memory(img.data, static_cast<ssize_t>(img.size), false);
            }
            return py::memoryview(py::cast(px));
          },
          "Writable view of the frame's pixels. Writes made during the callback reach the "
          "frame; a view kept afterwards keeps that frame's pixels and never sees another's.");

  py::class_<DetectedFrame, Image>(m, "_DetectedFrame");

  py::class_<Velkor::Nimbra::DetectedObject>(m, "DetectedObject")
      .def(py::init<>())
      .def_readonly("class_id", &Velkor::Nimbra::DetectedObject::class_id)
      .def_readonly("label", &Velkor::Nimbra::DetectedObject::label)
      .def_readonly("confidence", &Velkor::Nimbra::DetectedObject::confidence, "0..1")
      .def_readonly("x", &Velkor::Nimbra::DetectedObject::x, "Left edge of the box, frame pixels.")
      .def_readonly("y", &Velkor::Nimbra::DetectedObject::y, "Top edge of the box, frame pixels.")
      .def_readonly("width", &Velkor::Nimbra::DetectedObject::width)
      .def_readonly("height", &Velkor::Nimbra::DetectedObject::height)
      .def_readonly("track_id", &Velkor::Nimbra::DetectedObject::track_id, "Stable while tracked; -1: untracked.")
      .def_readonly("age", &Velkor::Nimbra::DetectedObject::age,
                    "Frames since the object was last detected (0: on this very frame).")
      .def("__repr__", [](const Velkor::Nimbra::DetectedObject& o) {
        char text[160];
        snprintf(text, sizeof text, "DetectedObject(%s #%lld %.2f at %.1f,%.1f %.1fx%.1f age %d)", o.label.c_str(),
                 (long long)o.track_id, o.confidence, o.x, o.y, o.width, o.height, o.age);
        return std::string(text);
      });

  py::class_<FramePixels, std::shared_ptr<FramePixels>>(m, "_FramePixels", py::buffer_protocol())
      .def_buffer([](FramePixels& px) {
        return py::buffer_info(px.bytes.data(), 1, py::format_descriptor<uint8_t>::format(), 1,
                               {static_cast<ssize_t>(px.bytes.size())}, {static_cast<ssize_t>(1)}, false);
      });

  py::class_<cv::Mat>(m, "mat_image", py::buffer_protocol())
      .def_buffer(&mat_buffer)
      .def("is_empty", [](const cv::Mat& mat) { return mat.empty(); });

  m.def(
      "set_log_level", [](Velkor::Nimbra::GSTLogLevel level) { Velkor::Nimbra::set_log_level(level); },
      py::arg("log_level"), "Threshold of the library's log messages.");
  m.def(
      "clogger", [](const std::string& path) { Velkor::Nimbra::clogger(path.c_str()); },
      py::arg("destinationPath"), "Write the library's log to a file.");
  m.def("start_stream", &py_start_stream, py::arg("stream_id"), py::arg("cb"), py::kw_only(),
        py::arg("config") = py::none(),
        "Start stream (blocking); callback is GIL-safe.\n\n"
        "config: path of the configuration file to read from now on (as set_config_path);\n"
        "None keeps the one in use. A callback that returns None counts as 0.");
  m.def(
      "set_config_path",
      [](const py::object& path) { use_config(path); },
      py::arg("path"),
      "Read the stream configuration from `path` from now on. OSError when it cannot be read\n"
      "(the file in use then stays).");
  m.def("get_config_path", &Velkor::Nimbra::get_config_path, "The configuration file start_stream reads now.");
  // No py::arg: without names pybind11 accepts the arguments positionally only.
  m.def(
      "shutdown",
      [](const std::string& stream_id) {
        without_gil([&] { Velkor::Nimbra::gstreamer_pipeline_shutdown(stream_id); });
      },
      "Stop pipeline gracefully");
  m.def("get_data", &py_get_data,
        "Deep copy of rows x cols RGB pixels from str (its UTF-8 bytes) or bytes.");
  m.def("get_stream_status", &Velkor::Nimbra::get_stream_status, "Status of the streams (always -1).");

  py::class_<Velkor::Nimbra::StreamHealth>(m, "StreamHealth")
      .def_readonly("stream_id", &Velkor::Nimbra::StreamHealth::stream_id)
      .def_readonly("kind", &Velkor::Nimbra::StreamHealth::kind)
      .def_property_readonly(
          "state", [](const Velkor::Nimbra::StreamHealth& h) { return Velkor::Nimbra::stream_state_name(h.state); })
      .def_readonly("running", &Velkor::Nimbra::StreamHealth::running)
      .def_readonly("last_error", &Velkor::Nimbra::StreamHealth::last_error)
      .def_readonly("last_error_age_s", &Velkor::Nimbra::StreamHealth::last_error_age_s)
      .def_readonly("last_error_recovered", &Velkor::Nimbra::StreamHealth::last_error_recovered)
      .def_readonly("reconnects", &Velkor::Nimbra::StreamHealth::reconnects)
      .def_readonly("reconnect_attempts", &Velkor::Nimbra::StreamHealth::reconnect_attempts)
      .def_readonly("last_frame_age_s", &Velkor::Nimbra::StreamHealth::last_frame_age_s)
      .def_readonly("uptime_s", &Velkor::Nimbra::StreamHealth::uptime_s)
      .def_readonly("stall_timeout_s", &Velkor::Nimbra::StreamHealth::stall_timeout_s)
      .def_readonly("frames_decoded", &Velkor::Nimbra::StreamHealth::frames_decoded)
      .def_readonly("frames_delivered", &Velkor::Nimbra::StreamHealth::frames_delivered)
      .def_readonly("frames_skipped", &Velkor::Nimbra::StreamHealth::frames_skipped)
      .def_readonly("frames_dropped", &Velkor::Nimbra::StreamHealth::frames_dropped)
      .def_readonly("fps_last_second", &Velkor::Nimbra::StreamHealth::fps_last_second)
      .def_readonly("fps_since_start", &Velkor::Nimbra::StreamHealth::fps_since_start)
      .def_readonly("callback_p50_ms", &Velkor::Nimbra::StreamHealth::callback_p50_ms)
      .def_readonly("callback_p99_ms", &Velkor::Nimbra::StreamHealth::callback_p99_ms)
      .def_readonly("inferences", &Velkor::Nimbra::StreamHealth::inferences)
      .def_readonly("inference_failures", &Velkor::Nimbra::StreamHealth::inference_failures)
      .def_readonly("inference_fps", &Velkor::Nimbra::StreamHealth::inference_fps)
      .def_readonly("inference_p50_ms", &Velkor::Nimbra::StreamHealth::inference_p50_ms)
      .def_readonly("inference_p99_ms", &Velkor::Nimbra::StreamHealth::inference_p99_ms)
      .def_readonly("inference_skipped", &Velkor::Nimbra::StreamHealth::inference_skipped)
      .def_readonly("objects", &Velkor::Nimbra::StreamHealth::objects)
      .def("__repr__", [](const Velkor::Nimbra::StreamHealth& h) {
        return "<StreamHealth " + h.stream_id + " " + Velkor::Nimbra::stream_state_name(h.state) + " frames=" +
               std::to_string(h.frames_delivered) + " reconnects=" + std::to_string(h.reconnects) + ">";
      });
  m.def(
      "get_stream_health",
      [](const std::string& stream_id) -> py::object {
        Velkor::Nimbra::StreamHealth h;
        if (Velkor::Nimbra::get_stream_health(stream_id, h) != 0) return py::none();
        return py::cast(h);
      },
      py::arg("stream_id"), "Health and numbers of a running or lately ended stream; None when unknown.");
  m.def("list_stream_health", &Velkor::Nimbra::list_stream_health,
        "Health of the running streams, then of those that ended lately.");
  m.def(
      "set_stall_timeout",
      [](double seconds) {
        if (!(seconds > 0)) throw py::value_error("set_stall_timeout: seconds must be > 0");
        Velkor::Nimbra::set_stall_timeout(seconds);
      },
      py::arg("seconds"), "Stall time of streams whose configuration has no \"stallTimeout\".");
  m.def(
      "describe_stream_pipeline",
      [](const std::string& stream_id, const py::object& config) -> py::object {
        use_config(config);
        std::string text;
        int rc = 0;
        without_gil([&] { rc = Velkor::Nimbra::describe_stream_pipeline(stream_id, text); });
        if (rc != 0) return py::none();
        return py::str(text);
      },
      py::arg("stream_id"), py::kw_only(), py::arg("config") = py::none(),
      "The pipeline start_stream would build, without playing it; None when it cannot.");

  m.def(
      "shutdown_all_and_wait",
      [](double timeout_seconds) {
        return without_gil([&] { return Velkor::Nimbra::shutdown_all_and_wait(timeout_seconds); });
      },
      py::arg("timeout_seconds") = 60.0,
      "Stop every running stream and wait until all have ended (recordings finalised); True when in time.");

  // ---- events, MQTT and metrics ----
  py::class_<Velkor::Nimbra::Event>(m, "Event")
      .def_property_readonly("type", [](const Velkor::Nimbra::Event& e) { return Velkor::Nimbra::event_type_name(e.type); })
      .def_readonly("id", &Velkor::Nimbra::Event::id)
      .def_readonly("stream_id", &Velkor::Nimbra::Event::stream_id)
      .def_readonly("sequence", &Velkor::Nimbra::Event::sequence)
      .def_readonly("track_id", &Velkor::Nimbra::Event::track_id)
      .def_readonly("label", &Velkor::Nimbra::Event::label)
      .def_readonly("class_id", &Velkor::Nimbra::Event::class_id)
      .def_readonly("confidence", &Velkor::Nimbra::Event::confidence)
      .def_readonly("top_confidence", &Velkor::Nimbra::Event::top_confidence)
      .def_property_readonly("box", [](const Velkor::Nimbra::Event& e) { return py::make_tuple(e.x, e.y, e.width, e.height); })
      .def_readonly("frame_width", &Velkor::Nimbra::Event::frame_width)
      .def_readonly("frame_height", &Velkor::Nimbra::Event::frame_height)
      .def_readonly("frame_index", &Velkor::Nimbra::Event::frame_index)
      .def_readonly("pts_ns", &Velkor::Nimbra::Event::pts_ns)
      .def_readonly("time_s", &Velkor::Nimbra::Event::time_s)
      .def_readonly("start_time_s", &Velkor::Nimbra::Event::start_time_s)
      .def_readonly("end_time_s", &Velkor::Nimbra::Event::end_time_s)
      .def_readonly("zones", &Velkor::Nimbra::Event::zones)
      .def_readonly("zone", &Velkor::Nimbra::Event::zone)
      .def_readonly("line", &Velkor::Nimbra::Event::line)
      .def_readonly("direction", &Velkor::Nimbra::Event::direction)
      .def_readonly("clip_path", &Velkor::Nimbra::Event::clip_path)
      .def_readonly("clip_event_id", &Velkor::Nimbra::Event::clip_event_id)
      .def_readonly("clip_start_pts_ns", &Velkor::Nimbra::Event::clip_start_pts_ns)
      .def_readonly("clip_end_pts_ns", &Velkor::Nimbra::Event::clip_end_pts_ns)
      .def("to_json", &Velkor::Nimbra::event_to_json, "The event as one line of JSON.")
      .def("__repr__", [](const Velkor::Nimbra::Event& e) {
        return "<Event " + std::string(Velkor::Nimbra::event_type_name(e.type)) + " " + e.stream_id + " #" +
               std::to_string(e.sequence) + " track " + std::to_string(e.track_id) + " " + e.label + ">";
      });
  m.def("on_event", &py_on_event, py::arg("fn"),
        "Call fn(event) for every event, in order, on the library's event thread; returns a handle.");
  m.def("remove_event_callback", &py_remove_event_callback, py::arg("handle"),
        "Stop calling a callback; False for an unknown handle.");
  m.def(
      "poll_events",
      [](size_t max_events, double timeout) {
        std::vector<Velkor::Nimbra::Event> out;
        without_gil([&] { Velkor::Nimbra::poll_events(out, max_events, timeout); });
        return out;
      },
      py::arg("max_events") = 100, py::arg("timeout") = 0.0,
      "Waiting events (up to max_events), waiting up to timeout seconds for the first.");
  m.def("feed_event_frame", &py_feed_event_frame, py::arg("stream_id"), py::arg("frame_index"), py::arg("width"),
        py::arg("height"), py::arg("objects"), py::arg("pts_ns") = -1, py::arg("wall_time_s") = 0.0,
        "Run a stream's event engine on one frame's tracked objects.");
  m.def(
      "configure_stream_events",
      [](const std::string& id) { return without_gil([&] { return Velkor::Nimbra::configure_stream_events(id); }); },
      py::arg("stream_id"), "Read the stream's \"events\", \"zones\" and \"lines\" now; 0 or -1.");
  m.def(
      "end_stream_events", [](const std::string& id) { without_gil([&] { Velkor::Nimbra::end_stream_events(id); }); },
      py::arg("stream_id"), "The stream ended: its tracks end.");
  m.def(
      "start_event_services",
      [](const std::string& path) { return without_gil([&] { return Velkor::Nimbra::start_event_services(path); }); },
      py::arg("config_path") = "", "Start MQTT and /metrics as the configuration says; 0 or -1.");
  m.def(
      "stop_event_services", [] { without_gil([] { Velkor::Nimbra::stop_event_services(); }); },
      "Stop them; undelivered events stay in the spool directory.");
  m.def("metrics_port", &Velkor::Nimbra::metrics_port, "Port /metrics is served on, or 0.");
  m.def("observe_inference_seconds", &Velkor::Nimbra::observe_inference_seconds, py::arg("stream_id"),
        py::arg("seconds"), "Record one inference duration of a stream.");
  m.def(
      "mqtt_status",
      [] {
        const Velkor::Nimbra::MqttStatus s = Velkor::Nimbra::mqtt_status();
        py::dict d;
        d["configured"] = s.configured;
        d["connected"] = s.connected;
        d["queued"] = s.queued;
        d["spooled"] = s.spooled;
        d["published"] = s.published;
        d["dropped"] = s.dropped;
        d["connect_attempts"] = s.connect_attempts;
        d["connections"] = s.connections;
        d["last_error"] = s.last_error;
        return d;
      },
      "The MQTT publisher's numbers.");
  // Python callbacks end with the interpreter: the event thread must not call into it then.
  py::module_::import("atexit").attr("register")(py::cpp_function([] {
    std::vector<int> handles;
    {
      std::lock_guard<std::mutex> g(g_py_event_handles_mutex);
      handles.swap(g_py_event_handles);
    }
    without_gil([&] {
      for (int h : handles) Velkor::Nimbra::remove_event_callback(h);
    });
  }));
  // ---- end events ----

  // Streams still running when the interpreter exits (a Ctrl+C that ended the main thread
  // while a stream thread was in start_stream, daemon threads) are stopped and waited for
  // before Python tears itself down, so their recordings are finalised. The GIL is given
  // up meanwhile: the streams' callbacks need it to finish their frames.
  py::module_::import("atexit").attr("register")(py::cpp_function([] {
    if (nimbra_internal::running_stream_ids().empty()) return;
    without_gil([] { Velkor::Nimbra::shutdown_all_and_wait(60.0); });
  }));

  // Internal hooks for the tests and the benchmark; not part of the public interface.
  m.def("_set_config_path", &py_set_config_path, py::arg("path"),
        "Internal: point the library's configuration readers at `path`.");
  m.def("_call_with_image", &py_call_with_image, py::arg("cb"), py::arg("width"), py::arg("height"),
        py::arg("repeat") = 1,
        "Internal: run the frame bridge on a C++ thread; returns what it returned (last call).");
  m.def("_start_stream_cpp_counting", &py_start_stream_cpp_counting, py::arg("stream_id"),
        "Internal: run a stream with a trivial C++ callback; frames seen, or -1.");
}

// The command builders of the Python face: each returns the frame as bytes.
#include "python/builders.h"

#include <cstdio>
#include <string>
#include <utility>

#include "protocol/commands.h"
#include "protocol/frame.h"
#include "python/args.h"

namespace tvis::py {

namespace {

using namespace tvis::protocol;

PyObject* frame_bytes(const InsoleReq& req, uint8_t dest_id) {
  auto frame = build_request_frame(req, dest_id);
  if (!frame) {
    PyErr_SetString(PyExc_ValueError, frame.error().c_str());
    return nullptr;
  }
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame->data()),
                                   static_cast<Py_ssize_t>(frame->size()));
}

// (msg_id, dest_id=2) builders.
template <class Make>
PyObject* simple(PyObject* args, PyObject* kwargs, Make make) {
  static const char* keywords[] = {"msg_id", "dest_id", nullptr};
  PyObject *msg_obj = nullptr, *dest_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O", const_cast<char**>(keywords), &msg_obj, &dest_obj))
    return nullptr;
  uint32_t msg_id;
  uint8_t dest_id = kDefaultDestId;
  if (!to_u32(msg_obj, "msg_id", msg_id)) return nullptr;
  if (dest_obj && !to_u8(dest_obj, "dest_id", dest_id)) return nullptr;
  return frame_bytes(make(msg_id), dest_id);
}

// (msg_id, sample_rate_hz, dest_id=2) builders.
template <class Make>
PyObject* with_rate(PyObject* args, PyObject* kwargs, Make make) {
  static const char* keywords[] = {"msg_id", "sample_rate_hz", "dest_id", nullptr};
  PyObject *msg_obj = nullptr, *rate_obj = nullptr, *dest_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O", const_cast<char**>(keywords), &msg_obj, &rate_obj,
                                   &dest_obj))
    return nullptr;
  uint32_t msg_id, rate;
  uint8_t dest_id = kDefaultDestId;
  if (!to_u32(msg_obj, "msg_id", msg_id) || !to_u32(rate_obj, "sample_rate_hz", rate)) return nullptr;
  if (dest_obj && !to_u8(dest_obj, "dest_id", dest_id)) return nullptr;
  return frame_bytes(make(msg_id, rate), dest_id);
}

// Characters a reader cannot see in a message: controls, format characters,
// spaces other than the plain one, line and paragraph separators, and private
// use (Unicode categories Cc, Cf, Zs, Zl, Zp and Co), as inclusive ranges;
// the noncharacters are tested apart.
constexpr std::pair<uint32_t, uint32_t> kNotPrintable[] = {
    {0x0, 0x1F},         {0x7F, 0xA0},         {0xAD, 0xAD},       {0x600, 0x605},     {0x61C, 0x61C},
    {0x6DD, 0x6DD},      {0x70F, 0x70F},       {0x890, 0x891},     {0x8E2, 0x8E2},     {0x1680, 0x1680},
    {0x180E, 0x180E},    {0x2000, 0x200F},     {0x2028, 0x202F},   {0x205F, 0x2064},   {0x2066, 0x206F},
    {0x3000, 0x3000},    {0xE000, 0xF8FF},     {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD},  {0x13430, 0x13438},   {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},  {0xF0000, 0xFFFFD},   {0x100000, 0x10FFFD},
};

bool printable(uint32_t cp) {
  const bool noncharacter = (cp & 0xFFFE) == 0xFFFE || (cp >= 0xFDD0 && cp <= 0xFDEF);
  if (noncharacter) return false;
  for (const auto& [first, last] : kNotPrintable)
    if (cp >= first && cp <= last) return false;
  return true;
}

// The text as a quoted literal, escaped the way the error message shows it.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  auto escape_code_point = [&out](uint32_t cp) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%x}", cp);
    out += buf;
  };
  for (size_t i = 0; i < text.size();) {
    const unsigned char ch = static_cast<unsigned char>(text[i]);
    uint32_t cp = ch;
    size_t width = 1;
    if (ch >= 0xF0) {
      width = 4;
      cp = ch & 0x07;
    } else if (ch >= 0xE0) {
      width = 3;
      cp = ch & 0x0F;
    } else if (ch >= 0xC0) {
      width = 2;
      cp = ch & 0x1F;
    }
    for (size_t k = 1; k < width && i + k < text.size(); ++k) cp = (cp << 6) | (text[i + k] & 0x3F);
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\0': out += "\\0"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      default: {
        if (!printable(cp)) {
          escape_code_point(cp);
        } else {
          out.append(text, i, width);
        }
      }
    }
    i += width;
  }
  out += '"';
  return out;
}

bool parse_mode(const std::string& text, const char* kind, uint32_t& out) {
  if (auto value = parse_data_mode(text)) {
    out = *value;
  } else {
    const std::string message = std::string("invalid ") + kind + " mode " + quoted(text) +
                                "; expected 'calibrated', 'raw', or 'both'";
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
  }
  return true;
}

}  // namespace

PyObject* build_device_info_request(PyObject*, PyObject* a, PyObject* k) {
  return simple(a, k, [](uint32_t id) { return query_request(id, Query::DeviceInfo); });
}
PyObject* build_battery_request(PyObject*, PyObject* a, PyObject* k) {
  return simple(a, k, [](uint32_t id) { return query_request(id, Query::Battery); });
}
PyObject* build_runtime_info_request(PyObject*, PyObject* a, PyObject* k) {
  return simple(a, k, [](uint32_t id) { return query_request(id, Query::RuntimeInfo); });
}
PyObject* build_sensor_config_request(PyObject*, PyObject* a, PyObject* k) {
  return simple(a, k, [](uint32_t id) { return query_request(id, Query::SensorConfig); });
}
PyObject* build_device_status_request(PyObject*, PyObject* a, PyObject* k) {
  return simple(a, k, [](uint32_t id) { return query_request(id, Query::DeviceStatus); });
}
PyObject* build_get_factory_config_request(PyObject*, PyObject* a, PyObject* k) {
  return simple(a, k, [](uint32_t id) { return query_request(id, Query::FactoryConfig); });
}
PyObject* build_start_sensor_stream_request(PyObject*, PyObject* a, PyObject* k) {
  return simple(a, k, [](uint32_t id) { return stream_ctrl_request(id, STREAM_CMD_START); });
}
PyObject* build_stop_sensor_stream_request(PyObject*, PyObject* a, PyObject* k) {
  return simple(a, k, [](uint32_t id) { return stream_ctrl_request(id, STREAM_CMD_STOP); });
}
PyObject* build_enable_sensor_stream_request(PyObject*, PyObject* a, PyObject* k) {
  return with_rate(a, k, enable_sensor_stream_request);
}
PyObject* build_set_sensor_config_request(PyObject*, PyObject* a, PyObject* k) {
  return with_rate(a, k, set_sensor_config_request);
}

PyObject* build_set_factory_config_request(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"msg_id",      "serial_number", "device_id", "model_name",
                                   "mac_address", "factory_key",   "dest_id",   nullptr};
  PyObject *msg_obj, *serial_obj, *device_obj, *model_obj, *mac_obj, *key_obj, *dest_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO|O", const_cast<char**>(keywords), &msg_obj, &serial_obj,
                                   &device_obj, &model_obj, &mac_obj, &key_obj, &dest_obj))
    return nullptr;
  uint32_t msg_id;
  uint8_t dest_id = kDefaultDestId;
  FactoryConfig config;
  if (!to_u32(msg_obj, "msg_id", msg_id) || !to_utf8(serial_obj, "serial_number", config.serial_number) ||
      !to_i32(device_obj, "device_id", config.device_id) || !to_utf8(model_obj, "model_name", config.model_name) ||
      !to_utf8(mac_obj, "mac_address", config.mac_address) || !to_utf8(key_obj, "factory_key", config.factory_key))
    return nullptr;
  if (dest_obj && !to_u8(dest_obj, "dest_id", dest_id)) return nullptr;
  return frame_bytes(set_factory_config_request(msg_id, std::move(config)), dest_id);
}

PyObject* build_sensor_stream_config_request(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"msg_id",           "dest_id",       "sample_rate_hz", "pressure_mode",
                                   "shear_mode",       "imu_mode",      "pressure_enabled", "shear_enabled",
                                   "acc_enabled",      "gyro_enabled",  "start_stream",   nullptr};
  PyObject* o[11] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOOOOOO", const_cast<char**>(keywords), &o[0], &o[1], &o[2],
                                   &o[3], &o[4], &o[5], &o[6], &o[7], &o[8], &o[9], &o[10]))
    return nullptr;
  uint32_t msg_id;
  uint8_t dest_id = kDefaultDestId;
  StreamConfig c;
  if (!to_u32(o[0], "msg_id", msg_id)) return nullptr;
  if (o[1] && !to_u8(o[1], "dest_id", dest_id)) return nullptr;
  if (o[2] && !to_u32(o[2], "sample_rate_hz", c.sample_rate_hz)) return nullptr;
  // Every argument is converted first; the mode texts are then read imu
  // first, then pressure, then shear.
  std::string pressure_text = "raw", shear_text = "calibrated", imu_text = "calibrated";
  if ((o[3] && !to_utf8(o[3], "pressure_mode", pressure_text)) ||
      (o[4] && !to_utf8(o[4], "shear_mode", shear_text)) || (o[5] && !to_utf8(o[5], "imu_mode", imu_text)))
    return nullptr;
  if ((o[6] && !to_bool(o[6], "pressure_enabled", c.pressure_enabled)) ||
      (o[7] && !to_bool(o[7], "shear_enabled", c.shear_enabled)) ||
      (o[8] && !to_bool(o[8], "acc_enabled", c.acc_enabled)) ||
      (o[9] && !to_bool(o[9], "gyro_enabled", c.gyro_enabled)) ||
      (o[10] && !to_bool(o[10], "start_stream", c.start_stream)))
    return nullptr;
  if (!parse_mode(imu_text, "imu", c.imu_mode) || !parse_mode(pressure_text, "pressure", c.pressure_mode) ||
      !parse_mode(shear_text, "shear", c.shear_mode))
    return nullptr;
  auto req = sensor_stream_config_request(msg_id, c);
  return frame_bytes(*req, dest_id);  // parsed modes are always within range
}

}  // namespace tvis::py

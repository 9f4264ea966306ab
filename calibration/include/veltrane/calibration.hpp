// A thin header-only C++17 wrapper on <veltrane/calibration.h>: std::string in and out,
// std::optional results, the list owned by a std::unique_ptr. Everything it does is in the
// C API; see there for where values are looked up and what the ratio means.
#ifndef VELTRANE_CALIBRATION_HPP
#define VELTRANE_CALIBRATION_HPP

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <veltrane/calibration.h>

namespace veltrane::calibration {

using Error = veltrane_calibration_error;
using Details = veltrane_calibration_details;

inline std::string ErrorText(Error error) { return veltrane_calibration_error_text(error); }

struct Reading {
  Error error = VELTRANE_CALIBRATION_NOT_FOUND;
  double ratio = 1.0;  // the stored ratio on VELTRANE_CALIBRATION_OK, else 1 (no correction)
  Details details{};
  explicit operator bool() const { return error == VELTRANE_CALIBRATION_OK; }
};

// From the current user's store.
inline Reading Read(const std::string& folder, const std::string& prefix, std::int32_t rate,
                    const std::string& device) {
  Reading reading;
  reading.error = veltrane_calibration_read(folder.c_str(), prefix.c_str(), rate, device.c_str(),
                                            &reading.ratio, &reading.details);
  if (!reading) reading.ratio = 1.0;
  return reading;
}

// From the hive file at hivePath.
inline Reading ReadFile(const std::string& hivePath, const std::string& folder,
                        const std::string& prefix, std::int32_t rate, const std::string& device) {
  Reading reading;
  reading.error = veltrane_calibration_read_file(hivePath.c_str(), folder.c_str(), prefix.c_str(),
                                                 rate, device.c_str(), &reading.ratio,
                                                 &reading.details);
  if (!reading) reading.ratio = 1.0;
  return reading;
}

// f_true = f_measured * ratio.
inline double Correct(double measuredHz, double ratio) {
  return veltrane_calibration_correct(measuredHz, ratio);
}

struct Entry {
  std::string name, text, prefix, device;
  bool isString = true, nameParsed = false;
  std::int32_t rate = 0;
  std::optional<double> ratio;
  Details details{};
};

struct Listing {
  Error error = VELTRANE_CALIBRATION_OK;
  std::string key;
  std::vector<Entry> entries;
  explicit operator bool() const { return error == VELTRANE_CALIBRATION_OK; }
};

namespace detail {
struct ListFree {
  void operator()(veltrane_calibration_list* list) const { veltrane_calibration_list_free(list); }
};
inline Listing Copy(Error error, veltrane_calibration_list* raw) {
  std::unique_ptr<veltrane_calibration_list, ListFree> list(raw);
  Listing listing;
  listing.error = error;
  if (error != VELTRANE_CALIBRATION_OK) return listing;
  listing.key = veltrane_calibration_list_key(list.get());
  const std::size_t count = veltrane_calibration_list_count(list.get());
  for (std::size_t i = 0; i < count; ++i) {
    const veltrane_calibration_entry& e = *veltrane_calibration_list_entry(list.get(), i);
    Entry entry{e.name, e.text, e.prefix, e.device, e.is_string != 0, e.name_parsed != 0,
                e.rate, std::nullopt, e.details};
    if (e.has_ratio) entry.ratio = e.ratio;
    listing.entries.push_back(std::move(entry));
  }
  return listing;
}
}  // namespace detail

inline Listing List(const std::string& folder) {
  veltrane_calibration_list* list = nullptr;
  const Error error = veltrane_calibration_list_folder(folder.c_str(), &list);
  return detail::Copy(error, list);
}

inline Listing ListFile(const std::string& hivePath, const std::string& folder) {
  veltrane_calibration_list* list = nullptr;
  const Error error = veltrane_calibration_list_file(hivePath.c_str(), folder.c_str(), &list);
  return detail::Copy(error, list);
}

}  // namespace veltrane::calibration

#endif  // VELTRANE_CALIBRATION_HPP

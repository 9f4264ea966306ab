#pragma once
// The ALSA and system calls that the recording back end makes, gathered in one table so that a
// test can stand in for a sound card and make any of them fail on purpose. Each entry behaves
// as the call of the same name (a negative error code from ALSA, -1 and errno from the system).

#include <alsa/asoundlib.h>
#include <poll.h>

#include <functional>

namespace veltrane {

class NormalThread;

struct AlsaCalls {
  // Listing the devices.
  int (*snd_card_next)(int* card);
  int (*snd_ctl_open)(snd_ctl_t** control, const char* name, int mode);
  int (*snd_ctl_close)(snd_ctl_t* control);
  int (*snd_ctl_card_info)(snd_ctl_t* control, snd_ctl_card_info_t* info);
  int (*snd_ctl_pcm_next_device)(snd_ctl_t* control, int* device);
  int (*snd_ctl_pcm_info)(snd_ctl_t* control, snd_pcm_info_t* info);
  int (*snd_device_name_hint)(int card, const char* interface, void*** hints);
  char* (*snd_device_name_get_hint)(const void* hint, const char* field);
  int (*snd_device_name_free_hint)(void** hints);

  // One stream: opening and its hardware configuration.
  int (*snd_pcm_open)(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream, int mode);
  int (*snd_pcm_close)(snd_pcm_t* pcm);
  int (*snd_pcm_info)(snd_pcm_t* pcm, snd_pcm_info_t* info);
  int (*snd_pcm_hw_params_malloc)(snd_pcm_hw_params_t** params);
  void (*snd_pcm_hw_params_free)(snd_pcm_hw_params_t* params);
  int (*snd_pcm_hw_params_any)(snd_pcm_t* pcm, snd_pcm_hw_params_t* params);
  int (*snd_pcm_hw_params_set_rate_resample)(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                             unsigned value);
  int (*snd_pcm_hw_params_set_access)(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                      snd_pcm_access_t access);
  int (*snd_pcm_hw_params_set_format)(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                      snd_pcm_format_t format);
  int (*snd_pcm_hw_params_set_channels)(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                        unsigned channels);
  int (*snd_pcm_hw_params_set_rate)(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned rate,
                                    int direction);
  int (*snd_pcm_hw_params_set_period_time_near)(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                                unsigned* microseconds, int* direction);
  int (*snd_pcm_hw_params_set_buffer_time_near)(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                                unsigned* microseconds, int* direction);
  int (*snd_pcm_hw_params)(snd_pcm_t* pcm, snd_pcm_hw_params_t* params);
  int (*snd_pcm_hw_params_get_rate)(const snd_pcm_hw_params_t* params, unsigned* rate,
                                    int* direction);
  int (*snd_pcm_hw_params_get_period_size)(const snd_pcm_hw_params_t* params,
                                           snd_pcm_uframes_t* frames, int* direction);
  int (*snd_pcm_hw_params_get_buffer_size)(const snd_pcm_hw_params_t* params,
                                           snd_pcm_uframes_t* frames);
  int (*snd_pcm_hw_params_test_rate)(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned rate,
                                     int direction);

  // Its software configuration.
  int (*snd_pcm_sw_params_malloc)(snd_pcm_sw_params_t** params);
  void (*snd_pcm_sw_params_free)(snd_pcm_sw_params_t* params);
  int (*snd_pcm_sw_params_current)(snd_pcm_t* pcm, snd_pcm_sw_params_t* params);
  int (*snd_pcm_sw_params_get_boundary)(const snd_pcm_sw_params_t* params,
                                        snd_pcm_uframes_t* frames);
  int (*snd_pcm_sw_params_set_avail_min)(snd_pcm_t* pcm, snd_pcm_sw_params_t* params,
                                         snd_pcm_uframes_t frames);
  int (*snd_pcm_sw_params_set_start_threshold)(snd_pcm_t* pcm, snd_pcm_sw_params_t* params,
                                               snd_pcm_uframes_t frames);
  int (*snd_pcm_sw_params_set_stop_threshold)(snd_pcm_t* pcm, snd_pcm_sw_params_t* params,
                                              snd_pcm_uframes_t frames);
  int (*snd_pcm_sw_params_set_tstamp_mode)(snd_pcm_t* pcm, snd_pcm_sw_params_t* params,
                                           snd_pcm_tstamp_t mode);
  int (*snd_pcm_sw_params_set_tstamp_type)(snd_pcm_t* pcm, snd_pcm_sw_params_t* params,
                                           snd_pcm_tstamp_type_t type);
  int (*snd_pcm_sw_params)(snd_pcm_t* pcm, snd_pcm_sw_params_t* params);

  // Recording.
  int (*snd_pcm_poll_descriptors_count)(snd_pcm_t* pcm);
  int (*snd_pcm_poll_descriptors)(snd_pcm_t* pcm, pollfd* descriptors, unsigned space);
  int (*snd_pcm_poll_descriptors_revents)(snd_pcm_t* pcm, pollfd* descriptors, unsigned count,
                                          unsigned short* revents);
  snd_pcm_state_t (*snd_pcm_state)(snd_pcm_t* pcm);
  int (*snd_pcm_prepare)(snd_pcm_t* pcm);
  int (*snd_pcm_start)(snd_pcm_t* pcm);
  int (*snd_pcm_drop)(snd_pcm_t* pcm);
  snd_pcm_sframes_t (*snd_pcm_avail)(snd_pcm_t* pcm);
  snd_pcm_sframes_t (*snd_pcm_readi)(snd_pcm_t* pcm, void* buffer, snd_pcm_uframes_t frames);
  int (*snd_pcm_status)(snd_pcm_t* pcm, snd_pcm_status_t* status);

  // The system: the reader's wake-up descriptor, its wait and its thread.
  int (*eventfd)(unsigned initial, int flags);
  int (*poll)(pollfd* descriptors, nfds_t count, int timeoutMilliseconds);
  bool (*startThread)(NormalThread& thread, std::function<void()> body);
};

// ALSA's and the operating system's own calls.
const AlsaCalls& RealAlsaCalls();

}  // namespace veltrane

#include "platform/linux/AlsaCalls.h"

#include <sys/eventfd.h>

#include "base/NormalThread.h"

namespace veltrane {

namespace {

const AlsaCalls kRealCalls{
    ::snd_card_next,
    ::snd_ctl_open,
    ::snd_ctl_close,
    ::snd_ctl_card_info,
    ::snd_ctl_pcm_next_device,
    ::snd_ctl_pcm_info,
    ::snd_device_name_hint,
    ::snd_device_name_get_hint,
    ::snd_device_name_free_hint,
    ::snd_pcm_open,
    ::snd_pcm_close,
    ::snd_pcm_info,
    ::snd_pcm_hw_params_malloc,
    ::snd_pcm_hw_params_free,
    ::snd_pcm_hw_params_any,
    ::snd_pcm_hw_params_set_rate_resample,
    ::snd_pcm_hw_params_set_access,
    ::snd_pcm_hw_params_set_format,
    ::snd_pcm_hw_params_set_channels,
    ::snd_pcm_hw_params_set_rate,
    ::snd_pcm_hw_params_set_period_time_near,
    ::snd_pcm_hw_params_set_buffer_time_near,
    ::snd_pcm_hw_params,
    ::snd_pcm_hw_params_get_rate,
    ::snd_pcm_hw_params_get_period_size,
    ::snd_pcm_hw_params_get_buffer_size,
    ::snd_pcm_hw_params_test_rate,
    ::snd_pcm_sw_params_malloc,
    ::snd_pcm_sw_params_free,
    ::snd_pcm_sw_params_current,
    ::snd_pcm_sw_params_get_boundary,
    ::snd_pcm_sw_params_set_avail_min,
    ::snd_pcm_sw_params_set_start_threshold,
    ::snd_pcm_sw_params_set_stop_threshold,
    ::snd_pcm_sw_params_set_tstamp_mode,
    ::snd_pcm_sw_params_set_tstamp_type,
    ::snd_pcm_sw_params,
    ::snd_pcm_poll_descriptors_count,
    ::snd_pcm_poll_descriptors,
    ::snd_pcm_poll_descriptors_revents,
    ::snd_pcm_state,
    ::snd_pcm_prepare,
    ::snd_pcm_start,
    ::snd_pcm_drop,
    ::snd_pcm_avail,
    ::snd_pcm_readi,
    ::snd_pcm_status,
    [](unsigned initial, int flags) { return ::eventfd(initial, flags); },
    ::poll,
    [](NormalThread& thread, std::function<void()> body) {
      return thread.Start(std::move(body));
    },
};

}  // namespace

const AlsaCalls& RealAlsaCalls() { return kRealCalls; }

}  // namespace veltrane

/* How a tuner corrects a frequency with the ratio Veltrane stored: a plain C example.
 *
 *   tuner-example FOLDER PREFIX RATE DEVICE MEASURED_HZ [HIVE_FILE]
 *
 * reads the ratio stored for the device at RATE (from the current user's store, or from the
 * hive file HIVE_FILE when given) and prints the frequency corrected.
 *
 * Why multiply. The ratio is real rate / nominal rate. A device asked for 48000 Hz that
 * really records 47988 samples a second has ratio 0.99975. One period of a tone of true
 * frequency f lasts 1/f seconds and so spans ratio * nominal / f samples; a tuner that
 * takes the nominal rate for the real one turns that count back into
 *     f_measured = nominal / (ratio * nominal / f) = f / ratio,
 * so the true frequency is f_true = f_measured * ratio. With ratio 0.99975 a true 440 Hz
 * reads 440.110 Hz, and 440.110 * 0.99975 = 440.000.
 *
 * Build: cc tuner-example.c $(pkg-config --cflags --libs veltrane-calibration)
 * Exit status: 0 corrected, 1 bad arguments, 2 no usable calibration (the frequency is then
 * printed uncorrected), 3 the store could not be read. */
#include <stdio.h>
#include <stdlib.h>

#include <veltrane/calibration.h>

int main(int argc, char** argv) {
  if (argc != 6 && argc != 7) {
    fprintf(stderr, "usage: %s FOLDER PREFIX RATE DEVICE MEASURED_HZ [HIVE_FILE]\n", argv[0]);
    return 1;
  }
  char* end = NULL;
  const long rate = strtol(argv[3], &end, 10);
  if (*argv[3] == '\0' || *end != '\0' || rate <= 0 || rate > 1000000000L) {
    fprintf(stderr, "RATE must be a whole number of samples a second, not %s\n", argv[3]);
    return 1;
  }
  const double measured = strtod(argv[5], &end);
  if (*argv[5] == '\0' || *end != '\0' || !(measured > 0.0)) {
    fprintf(stderr, "MEASURED_HZ must be a frequency in Hz, not %s\n", argv[5]);
    return 1;
  }

  double ratio = 1.0;
  veltrane_calibration_details details;
  const veltrane_calibration_error error =
      argc == 7 ? veltrane_calibration_read_file(argv[6], argv[1], argv[2], (int32_t)rate,
                                                 argv[4], &ratio, &details)
                : veltrane_calibration_read(argv[1], argv[2], (int32_t)rate, argv[4], &ratio,
                                            &details);
  if (error != VELTRANE_CALIBRATION_OK) {
    fprintf(stderr, "no calibration used: %s\n", veltrane_calibration_error_text(error));
    printf("uncorrected: %.6f Hz\n", measured);
    return error == VELTRANE_CALIBRATION_UNREADABLE || error == VELTRANE_CALIBRATION_TOO_LARGE ||
                   error == VELTRANE_CALIBRATION_BAD_FORMAT ||
                   error == VELTRANE_CALIBRATION_NO_MEMORY
               ? 3
               : 2;
  }
  printf("ratio: %.6f (%+.1f ppm)\n", ratio, (ratio - 1.0) * 1e6);
  if (details.present & VELTRANE_CALIBRATION_HAS_BAND) {
    printf("95 %% band: +-%.3f ppm\n", details.band_ppm);
  }
  if (details.present & VELTRANE_CALIBRATION_HAS_DATE) printf("measured: %s\n", details.date_text);
  if (details.present & VELTRANE_CALIBRATION_HAS_REFERENCE) {
    printf("relative to: %s\n", details.reference == VELTRANE_CALIBRATION_REFERENCE_TRUE_TIME
                                    ? "true time"
                                    : "the computer's crystal");
  }
  printf("measured %.6f Hz -> true %.6f Hz\n", measured,
         veltrane_calibration_correct(measured, ratio));
  return 0;
}

/* Veltrane's calibration reader: the real/nominal sample-rate ratio that Veltrane (the
 * dialog or veltrane-cli calibrate --store) stored for a recording device, for tuner
 * applications.
 *
 * Where it looks. The value is the string value (REG_SZ)
 *     HKEY_CURRENT_USER\SOFTWARE\Ombrel's Projects\<folder>
 *     name: <prefix> "Calib_" <rate> "_Of " <device name>     text: e.g. "0.999750"
 * with the folder's leading and trailing white space removed (an empty folder is the maker
 * key itself; '\' in a folder names nested keys), and key and value names compared without
 * regard to letter case, exactly as the programs store it. On Windows that is the registry
 * itself. On Linux it is the file in the registry editor's text format that the programs
 * write: $VELTRANE_REGISTRY_FILE when set, else $XDG_CONFIG_HOME/veltrane/HKEY_CURRENT_USER.reg
 * (a relative or empty XDG_CONFIG_HOME stands for $HOME/.config). The *_file functions read
 * such a file at a path of the caller's choice instead, on either system.
 *
 * The ratio. ratio = real rate / nominal rate: a device asked for 48000 Hz that records
 * 47988 samples a second has ratio 0.99975. A tuner that counts samples and assumes the
 * nominal rate measures f_measured = f_true / ratio; the true frequency is
 *     f_true = f_measured * ratio
 * (veltrane_calibration_correct does it).
 *
 * Details. veltrane-cli --store also stores how well and when it measured (see
 * veltrane_calibration_details); the dialog stores none. Details are reported only when
 * they belong to the value as it is now.
 *
 * Conventions. Every string is UTF-8 and NUL-terminated; inputs that are not UTF-8 give
 * VELTRANE_CALIBRATION_INVALID_ARGUMENT. Every function may be called from any thread at any
 * time: there is no global state, each call reads the store anew, and nothing is cached. No
 * function changes the store. A file that is not a hive (truncated, binary, too large, bad
 * UTF-16) gives an error code; the file's size is bounded (64 MiB, as the programs refuse
 * beyond it). A list (veltrane_calibration_list) belongs to the caller, who frees it with
 * veltrane_calibration_list_free; it is never changed after it is made, so several threads
 * may read one list.
 */
#ifndef VELTRANE_CALIBRATION_H
#define VELTRANE_CALIBRATION_H

#include <stddef.h>
#include <stdint.h>

#include <veltrane/calibration_export.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VELTRANE_CALIBRATION_VERSION_MAJOR 0
#define VELTRANE_CALIBRATION_VERSION_MINOR 1

typedef enum veltrane_calibration_error {
  VELTRANE_CALIBRATION_OK = 0,
  /* A pointer that must not be NULL is, a string is not UTF-8, or a name breaks the
   * registry's rules (a key level empty, a control character). */
  VELTRANE_CALIBRATION_INVALID_ARGUMENT = 1,
  /* Nothing is stored there: no settings file yet, no such key, or no value of that name. */
  VELTRANE_CALIBRATION_NOT_FOUND = 2,
  /* A value of that name exists but is not a string (REG_SZ): dword:, hex: ... */
  VELTRANE_CALIBRATION_WRONG_TYPE = 3,
  /* The string value is not a plausible ratio: not a decimal number, or not above 0 and
   * below 2 (finite). */
  VELTRANE_CALIBRATION_NOT_A_RATIO = 4,
  /* The settings file exists but cannot be read (permissions, not a regular file, an I/O
   * error), or the registry refused the read. */
  VELTRANE_CALIBRATION_UNREADABLE = 5,
  /* The settings file is larger than the programs accept (64 MiB). */
  VELTRANE_CALIBRATION_TOO_LARGE = 6,
  /* The settings file is not in the registry editor's format (truncated, binary, malformed
   * UTF-16 or UTF-8, an unknown header). */
  VELTRANE_CALIBRATION_BAD_FORMAT = 7,
  VELTRANE_CALIBRATION_NO_MEMORY = 8,
  /* This build cannot do it (the registry functions on a system without one). */
  VELTRANE_CALIBRATION_UNSUPPORTED = 9
} veltrane_calibration_error;

/* A short English sentence for an error code (static storage, never NULL). */
VELTRANE_CALIBRATION_EXPORT const char* veltrane_calibration_error_text(
    veltrane_calibration_error error);

/* The library's version as "MAJOR.MINOR.PATCH" (static storage). */
VELTRANE_CALIBRATION_EXPORT const char* veltrane_calibration_version(void);

/* What the result is relative to. */
typedef enum veltrane_calibration_reference {
  VELTRANE_CALIBRATION_REFERENCE_UNKNOWN = 0, /* not stored, or an unknown word */
  VELTRANE_CALIBRATION_REFERENCE_TRUE_TIME = 1, /* the clock disciplined to true time */
  VELTRANE_CALIBRATION_REFERENCE_CRYSTAL = 2    /* the computer's own crystal, itself off by
                                                   up to tens of ppm */
} veltrane_calibration_reference;

/* Bits of veltrane_calibration_details.present. */
#define VELTRANE_CALIBRATION_HAS_BAND 0x1u
#define VELTRANE_CALIBRATION_HAS_SECONDS 0x2u
#define VELTRANE_CALIBRATION_HAS_DATE 0x4u
#define VELTRANE_CALIBRATION_HAS_METHOD 0x8u
#define VELTRANE_CALIBRATION_HAS_REFERENCE 0x10u

/* How well and when the value was measured, as veltrane-cli --store leaves it beside the
 * value. present is 0 when there are no details or they do not belong to the value as it is
 * now (the value was stored again since, by the dialog or by a run whose details could not
 * all be stored); otherwise its bits say which fields were stored and could be read. */
typedef struct veltrane_calibration_details {
  unsigned present;
  double band_ppm;  /* half-width of the 95 % band, ppm */
  double seconds;   /* the time span the measurement covered */
  int64_t date;     /* when it was stored: seconds since 1970-01-01T00:00:00Z */
  char date_text[24]; /* the same as stored, "YYYY-MM-DDThh:mm:ssZ" */
  char method[64];    /* e.g. "veltrane-cli, polling"; cut at a character if longer */
  veltrane_calibration_reference reference;
} veltrane_calibration_details;

/* Reads the ratio stored for (folder, prefix, rate, device) in the current user's store.
 * ratio receives it on VELTRANE_CALIBRATION_OK and is left alone otherwise. details may be
 * NULL; else it is filled (present 0 when there are none) on OK. */
VELTRANE_CALIBRATION_EXPORT veltrane_calibration_error veltrane_calibration_read(
    const char* folder, const char* prefix, int32_t rate, const char* device, double* ratio,
    veltrane_calibration_details* details);

/* The same from the hive file at hive_path (UTF-8), in the registry editor's text format. */
VELTRANE_CALIBRATION_EXPORT veltrane_calibration_error veltrane_calibration_read_file(
    const char* hive_path, const char* folder, const char* prefix, int32_t rate,
    const char* device, double* ratio, veltrane_calibration_details* details);

/* f_true = f_measured * ratio, for a frequency measured by counting samples at the nominal
 * rate of a device whose real rate is ratio times that. */
VELTRANE_CALIBRATION_EXPORT double veltrane_calibration_correct(double measured_hz, double ratio);

/* One calibration value of a folder: a string value whose name holds "Calib_". The strings
 * live as long as their list. */
typedef struct veltrane_calibration_entry {
  const char* name;   /* the value's whole name */
  const char* text;   /* its text as stored; for a value of another type, the store's text
                         of it (e.g. "dword:00000001") */
  int is_string;      /* 1 for a string value (REG_SZ), 0 for another type */
  int name_parsed;    /* 1 when name is prefix "Calib_" rate "_Of " device */
  const char* prefix; /* those parts when name_parsed ("" otherwise) */
  int32_t rate;
  const char* device;
  int has_ratio;      /* 1 when text is a plausible ratio (as veltrane_calibration_read) */
  double ratio;
  veltrane_calibration_details details;
} veltrane_calibration_entry;

typedef struct veltrane_calibration_list veltrane_calibration_list;

/* Lists the calibration values of the folder's own key (not of keys below it), in the
 * store's order; details are given with their value, never as entries. *list receives a
 * new list on OK (empty when the folder does not exist or holds none) and NULL otherwise. */
VELTRANE_CALIBRATION_EXPORT veltrane_calibration_error veltrane_calibration_list_folder(
    const char* folder, veltrane_calibration_list** list);
VELTRANE_CALIBRATION_EXPORT veltrane_calibration_error veltrane_calibration_list_file(
    const char* hive_path, const char* folder, veltrane_calibration_list** list);

/* 0 for NULL. */
VELTRANE_CALIBRATION_EXPORT size_t veltrane_calibration_list_count(
    const veltrane_calibration_list* list);
/* NULL when index is not below the count. */
VELTRANE_CALIBRATION_EXPORT const veltrane_calibration_entry* veltrane_calibration_list_entry(
    const veltrane_calibration_list* list, size_t index);
/* The key the list was read from, below HKEY_CURRENT_USER ("" for NULL). */
VELTRANE_CALIBRATION_EXPORT const char* veltrane_calibration_list_key(
    const veltrane_calibration_list* list);
/* Frees the list and its strings; NULL is allowed. */
VELTRANE_CALIBRATION_EXPORT void veltrane_calibration_list_free(veltrane_calibration_list* list);

#ifdef __cplusplus
}
#endif

#endif /* VELTRANE_CALIBRATION_H */

/* The inverted call between the kernel-mode stand-in driver (skyhelmsim.sys) and its user-mode
 * host, on the host control device \\.\SkyhelmSimHost. Shared by the driver (C) and the host
 * (C++). The host device opens to SYSTEM and Administrators only; all control codes are
 * METHOD_BUFFERED and need a handle opened for writing.
 *
 *   SERVE   input (optional): ULONG flags. This handle becomes the host; controller interfaces
 *           are enabled. Closing the handle ends the service: every forwarded request fails.
 *           With SKYHELM_HOST_SERVE_CANCELS, a request that its sender cancels while the host
 *           holds it stays held: the host hears of the cancel and answers the request when it
 *           chooses, as a driver that is slow to cancel would (the hostile mode).
 *   NEXT    output: one SkyhelmHostRequest (header then input bytes). Held until the driver has
 *           something for the host, in the order it happened. Serving handle only.
 *   ANSWER  input: one SkyhelmHostAnswer (header then output bytes): completes the forwarded
 *           request with that tag. Serving handle only (STATUS_ACCESS_DENIED otherwise);
 *           STATUS_INVALID_PARAMETER for a status above 0 (pending, informational), the request
 *           staying held; STATUS_NOT_FOUND when it is no longer held (cancelled). */
#pragma once

#include <stdint.h>

/* FILE_DEVICE_UNKNOWN, FILE_WRITE_ACCESS, METHOD_BUFFERED */
#define SKYHELM_HOST_CODE(function) (((0x22) << 16) | (2 << 14) | ((function) << 2))
#define IOCTL_SKYHELM_HOST_SERVE SKYHELM_HOST_CODE(0xF00)
#define IOCTL_SKYHELM_HOST_NEXT SKYHELM_HOST_CODE(0xF01)
#define IOCTL_SKYHELM_HOST_ANSWER SKYHELM_HOST_CODE(0xF02)

/* Flags of SERVE. */
#define SKYHELM_HOST_SERVE_CANCELS 1u

/* Kinds of forwarded requests and notices. */
#define SKYHELM_HOST_CREATE 1  /* answer: status only */
#define SKYHELM_HOST_CLOSE 2   /* notice: the handle (file) is closed */
#define SKYHELM_HOST_CONTROL 3 /* code, input, output capacity; answer: status, output */
#define SKYHELM_HOST_READ 4    /* output capacity; answer: status, output */
#define SKYHELM_HOST_CANCEL 5  /* notice: the request with this tag ended cancelled */
#define SKYHELM_HOST_REMOVED 6 /* notice: the device is gone; its handles are dead */

#define SKYHELM_HOST_NAME_UNITS 128

typedef struct SkyhelmHostRequest {
  uint32_t size; /* header and input */
  uint32_t kind;
  uint64_t tag;  /* unique per request; a cancel names the request's tag */
  uint64_t file; /* identifies the handle: a counter, 1 for the first handle opened */
  uint32_t code;
  uint32_t input_size;
  uint32_t output_capacity;
  uint32_t reserved;
  /* The controller's interface link (\??\ROOT#SKYHELMSIM#0000#{...}); empty for the legacy
   * control device. UTF-16, NUL-terminated. */
  uint16_t device[SKYHELM_HOST_NAME_UNITS];
} SkyhelmHostRequest;

typedef struct SkyhelmHostAnswer {
  uint64_t tag;
  int32_t status; /* NTSTATUS */
  uint32_t bytes; /* output bytes that follow */
} SkyhelmHostAnswer;

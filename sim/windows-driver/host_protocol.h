/* The inverted call between the kernel-mode stand-in driver (skyhelmsim.sys) and its user-mode
 * host, on the host control device \\.\SkyhelmSimHost. Shared by the driver (C) and the host
 * (C++). All control codes are METHOD_BUFFERED, FILE_ANY_ACCESS.
 *
 *   SERVE   no buffers: this handle becomes the host; controller interfaces are enabled. Closing
 *           the handle ends the service: every forwarded request fails.
 *   NEXT    output: one SkyhelmHostRequest (header then input bytes). Held until the driver has
 *           something for the host, in the order it happened.
 *   ANSWER  input: one SkyhelmHostAnswer (header then output bytes): completes the forwarded
 *           request with that tag. STATUS_NOT_FOUND when it is no longer held (cancelled). */
#pragma once

#include <stdint.h>

#define SKYHELM_HOST_CODE(function) (((0x22) << 16) | ((function) << 2))
#define IOCTL_SKYHELM_HOST_SERVE SKYHELM_HOST_CODE(0xF00)
#define IOCTL_SKYHELM_HOST_NEXT SKYHELM_HOST_CODE(0xF01)
#define IOCTL_SKYHELM_HOST_ANSWER SKYHELM_HOST_CODE(0xF02)

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
  uint64_t file; /* identifies the handle */
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

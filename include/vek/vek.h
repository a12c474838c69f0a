/* libvek: media conversion library, flat C interface. */
#ifndef VEK_VEK_H
#define VEK_VEK_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define VEKAPI __stdcall
#else
#define VEKAPI
#endif

#if defined(_WIN32)
#define VEK_EXPORT __declspec(dllexport)
#else
#define VEK_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Not set, unknown, none or invalid handle. */
#define VEK_UNDEFINED ((int32_t)-1357902468) /* 0xAF100D7C */

/* Status codes of the last exported call. */
#define VEK_STATUS_OK 0              /* "Finished successfully." */
#define VEK_STATUS_INVALID_OUTPUT 1  /* "Invalid output file." */
#define VEK_STATUS_ABORTED 2         /* "Operation aborted by the user." */
#define VEK_STATUS_UNKNOWN 999       /* "Unknown error." */
#define VEK_STATUS_ERROR 1000        /* an error pair was recorded */

#ifdef __cplusplus
}
#endif

#endif /* VEK_VEK_H */

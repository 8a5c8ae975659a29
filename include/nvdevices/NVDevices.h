/*
 * NVDevices — access to the Norvane measuring instruments attached over USB.
 *
 * The library exports four functions with plain C names. Each returns an
 * unsigned 32-bit value and reports failure only through that value; none
 * throws, none shows a window, none keeps a pointer the caller passed in.
 *
 * Threads: the functions are meant to be called from one thread at a time.
 * They take no lock of their own; serialise calls in the host when several
 * threads use the library.
 *
 * Device ids are issued 1, 2, 3 ... by GetDeviceList for the life of the
 * process and are never reused: an instrument that is unplugged and found
 * again gets a new, higher id.
 */
#ifndef NVDEVICES_NVDEVICES_H
#define NVDEVICES_NVDEVICES_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(NVDEVICES_BUILDING)
#define NVD_API __declspec(dllexport)
#else
#define NVD_API __declspec(dllimport)
#endif
#define NVD_CALL __stdcall
#else
#define NVD_API __attribute__((visibility("default")))
#define NVD_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Brings the list of attached instruments up to date and returns how many
 * there are. Instruments that failed since the last call are dropped,
 * unplugged ones are forgotten and newly attached ones are opened and
 * identified.
 *
 * ids: null, or an array with room for at least as many ids as the call
 *      returns; the ids are written in list order. Call once with null to
 *      learn the count, then again with an array of that size (or larger:
 *      an instrument may arrive between the two calls).
 */
NVD_API uint32_t NVD_CALL GetDeviceList(uint32_t* ids);

/*
 * Serial-number string of instrument `id`.
 * Returns 0 when the id is unknown or the instrument has no serial number;
 * otherwise the string's length plus 1. When buffer is not null the string
 * and its terminating NUL are copied into it first: call with null to learn
 * the size.
 */
NVD_API uint32_t NVD_CALL GetDeviceSerial(uint32_t id, char* buffer);

/*
 * 12-byte hardware identifier of instrument `id`: the words low, middle and
 * high, each as 4 little-endian bytes.
 * Returns 12, or 0 when the id is unknown or the identifier is not valid
 * (any word zero). buffer may be null; otherwise it receives 12 bytes.
 */
NVD_API uint32_t NVD_CALL GetDeviceMCUId(uint32_t id, uint8_t* buffer);

#ifdef __cplusplus
}
#endif

#endif /* NVDEVICES_NVDEVICES_H */

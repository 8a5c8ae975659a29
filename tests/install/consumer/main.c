/* A host program built against an installed NVDevices: lists the attached
 * instruments (id, serial number, hardware identifier) and names the library
 * file that answered, so that the test can tell the installed copy from the
 * build tree's. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <nvdevices/NVDevices.h>
#include <stdio.h>
#include <stdlib.h>

int main(void) {
  uint32_t ids[64];
  const uint32_t count = GetDeviceList(NULL);
  const uint32_t listed = GetDeviceList(count + 16 <= 64 ? ids : NULL);
  Dl_info info;
  if (dladdr((void*)&GetDeviceList, &info) == 0 || info.dli_fname == NULL) return 2;
  printf("library %s\n", info.dli_fname);
  printf("count %u\n", (unsigned)listed);
  for (uint32_t i = 0; i < listed && i < 64; ++i) {
    char serial[256] = "";
    uint8_t mcu[12] = {0};
    if (GetDeviceSerial(ids[i], NULL) > sizeof serial) return 3;
    GetDeviceSerial(ids[i], serial);
    const uint32_t mcuSize = GetDeviceMCUId(ids[i], mcu);
    printf("%u %s %u", (unsigned)ids[i], serial, (unsigned)mcuSize);
    for (int b = 0; b < 12; ++b) printf(" %02X", mcu[b]);
    printf("\n");
  }
  return 0;
}

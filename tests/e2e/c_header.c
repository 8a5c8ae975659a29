/* The public header is plain C: this file only has to compile, as C99 with
 * every warning, and use each declaration the way a C host does. */
#include "nvdevices/NVDevices.h"

typedef uint32_t(NVD_CALL* ListFn)(uint32_t*);
typedef uint32_t(NVD_CALL* SerialFn)(uint32_t, char*);
typedef uint32_t(NVD_CALL* McuIdFn)(uint32_t, uint8_t*);
typedef uint32_t(NVD_CALL* DatabaseFn)(uint32_t, uint8_t*, uint8_t*, uint32_t*, uint32_t*);

static const ListFn kList = GetDeviceList;
static const SerialFn kSerial = GetDeviceSerial;
static const McuIdFn kMcuId = GetDeviceMCUId;
static const DatabaseFn kDatabase = GetDeviceDatabaseInfo;

int NvdHeaderCodes(void) {
  return kList != 0 && kSerial != 0 && kMcuId != 0 && kDatabase != 0 && NVD_DB_OK == 0 &&
         NVD_DB_NO_CALIBRATION == 5;
}

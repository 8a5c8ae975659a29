// RealUSBDevice: the instrument's command protocol on top of the USB channel.
//
// Every operation is one or more command exchanges: BeginCommand opens a
// frame in the calling thread's I/O buffer, the caller appends parameters
// (PutU32/PutBytes), Exchange sends it and reads and checks the reply, and
// the caller takes the payload (TakeU32/TakeReplyBytes ...) on the same
// thread. An exchange failure sets WasError, logs the failure and signals
// ErrorEvent; every later exchange fails at once until SetExchange or
// Reinitialize resets ErrorEvent. "Unrecognized command" (ReplyCode
// kUnrecognizedCommand) is not a failure: callers test ReplyCode.
//
// Threads: any thread may run exchanges; the exchange lock serialises them
// per device. The reply payload must be taken on the thread that ran the
// exchange (the buffers are per thread). The outcome of a command (WasError,
// ReplyCode, the failure texts) is the device's own, so a caller that runs
// commands on one device from several threads holds ExchangeLocker (a
// recursive lock) around each whole command, from BeginCommand to the last
// Take: the registry does so with its export lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/strings.h"
#include "protocol/commands.h"
#include "protocol/container.h"
#include "usb/channel.h"

class SMemoryCache;

// Date and time text of a DOS date-time word (signatures, BootSignat); "" when
// the word is no valid date.
PStr DosDateTimeText(uint32_t dosDateTime);
// RD_FLASH_AREA masking on the calling thread's generator (SeedRandom first):
// the length takes the next four outputs, the bytes the following ones.
// Masking is its own inverse.
uint32_t MaskFlashLength(uint32_t length);
void MaskFlashBytes(uint8_t* data, size_t count);
// The signature of a firmware image: the u32 at offset 12 (kNoSignature for
// an image shorter than 16 bytes).
uint32_t ImageSignature(const std::vector<uint8_t>& image);

// What the host knows of the instrument's staged firmware image.
struct FirmwareImageState {
  std::vector<uint8_t> Image;  // copy of the image being staged
  uint32_t Signature = 0;      // of the staged image
  uint32_t Loaded = 0;         // bytes the instrument holds
  uint32_t Chunk = 0;          // largest data count of one FW_IMAGE_WRITE
  uint32_t DeviceCrc = 0;      // the instrument's CRC of what it holds
  uint32_t BurnWait = 0;       // ms the instrument needs to burn and restart
  bool InfoValid = false;      // FW_IMAGE_GET_INFO was answered
  bool Complete = false;       // the whole image is staged, CRC matching
  bool Failed = false;         // a staging command failed
};

class RealUSBDevice : public ZdUSBDevice {
 public:
  static constexpr uint32_t kSkipReply = 0xFFFFFFFE;  // reply delay: read no reply
  static constexpr uint32_t kSetupTimeout = 200;      // channel time-out during SET_EXCHANGE
  static constexpr uint32_t kReinitDelay = 3000;      // wait after closing the handle
  static constexpr uint32_t kDefaultStartWait = 2000;
  static constexpr uint32_t kRetryPause = 1000;
  static constexpr uint32_t kFailurePause = 500;
  static constexpr uint32_t kSetExchangePause = 2000;
  static constexpr uint32_t kReopenAttempts = 100;
  static constexpr uint32_t kReopenPoll = 100;
  static constexpr uint32_t kMaxSerialLength = 1024;
  static constexpr uint32_t kDumpLimit = 256;  // bytes shown in a dump or trace line
  static constexpr uint32_t kNoSignature = 0x7FFFFFFF;

  // The channel opens the path; the protocol state gets its defaults. The
  // caller tests IsOpen().
  explicit RealUSBDevice(const char* path);
  ~RealUSBDevice() override;
  const char* ClassName() const override { return "RealUSBDevice"; }

  // Slot 0: equal when both hardware identifiers are valid and equal.
  bool IsEqual(const BaseObject* other) const override;
  // Slot 11: LOAD_TARGET; true when the flash status is 0.
  bool WriteFlash(uint32_t address, uint32_t length, const void* data) override;

  // Virtual operations, slots 18-42 in order.
  virtual RealUSBDevice& BeginCommand(uint32_t code);                     // 18
  virtual bool ReadReply();                                               // 19
  virtual uint32_t ChooseTarget(uint32_t previous);                       // 20
  virtual void DescribeCommand(PStr& text, bool force);                   // 21
  virtual void DescribeReply(PStr& text, uint32_t elapsedMs);             // 22
  virtual bool ReadIdentity();                                            // 23
  virtual bool ResetTarget();                                             // 24
  virtual bool ProgramTarget(const char* fileName);                       // 25
  virtual bool StartTarget();                                             // 26
  virtual bool Reinitialize();                                            // 27
  virtual bool GetStatus();                                               // 28
  virtual bool SetExchange();                                             // 29
  virtual bool ProbeTarget();                                             // 30
  virtual bool ReadFlashArea(uint32_t area, std::vector<uint8_t>& data);  // 31
  virtual bool InformLoader();                                            // 32
  virtual void BeforeProgramming();                                       // 33
  virtual void ReportProgress(uint32_t total, uint32_t done);             // 34
  virtual void AfterProgramming(bool ok);                                 // 35
  virtual void BeforeBurn();                                              // 36
  virtual void AfterBurn(bool ok);                                        // 37
  virtual void StatusText(PStr& text, uint32_t status);                   // 38
  virtual void MaskText(PStr& text, uint32_t mask);                       // 39
  virtual bool ContinueAfterImageFailure();                               // 40
  virtual uint32_t ReadVirtualSfr(uint32_t id, uint32_t& available);      // 41
  virtual uint32_t WriteVirtualSfr(uint32_t id, uint32_t value);          // 42

  // The exchange of the frame in the calling thread's output buffer.
  RealUSBDevice& Exchange();
  // Parameters of the frame being built.
  RealUSBDevice& PutU32(uint32_t value);
  RealUSBDevice& PutBytes(const void* data, uint32_t count);
  // Reply payload, in order. A shortage copies the buffer's error text into
  // FailureText, sets WasError and gives false (the destination reads 0).
  bool TakeReplyBytes(void* destination, uint32_t count);
  bool TakeU8(uint8_t& value);
  bool TakeU16(uint16_t& value);
  bool TakeU32(uint32_t& value);
  // Reply bytes not yet taken on the calling thread.
  uint32_t ReplyBytesLeft();
  // A length read from the instrument must fit in the reply bytes left before
  // anything is sized from it; otherwise the command fails (WasError, a
  // failure text and a log line) and false is returned.
  bool CheckReplyLength(const char* command, uint32_t length);

  bool ReadVirtualString(uint32_t id, std::vector<uint8_t>& data, bool asText);
  bool Reconnect();
  // The instrument's own command history, printed after a failed exchange.
  void ReadDebugTrace();

  // Parts of identification, usable on their own.
  bool ReadPublicArea();
  bool ReadVersions();  // GET_VERSION, then the serial read
  // RD_SIGNAT and the comparison with the target file; true on a match (or
  // when the check is skipped). Fills the file's signature and name.
  bool CheckTargetSignature(uint32_t& fileSignature, PStr& fileName);
  bool WriteSignature(uint32_t signature);
  // RD_SIGNAT into DeviceSignature, SignatureFileName, SignatureText and the
  // status bytes; false without an answer (the signature is then
  // kNoSignature and the texts empty).
  bool ReadSignatureRecord();
  // The description line of the signature record last read.
  PStr SignatureRecordText() const;

  // Firmware image upload. QueryImageState fills ImageState from
  // FW_IMAGE_GET_INFO for the image; UploadImage stages the rest of it
  // (true when the instrument then holds it whole); BurnImage queries,
  // uploads when needed, burns with the chosen target index, waits the burn
  // time (ReportProgress about 100 times) and reconnects.
  void QueryImageState(const std::vector<uint8_t>& image);
  bool UploadImage();
  bool BurnImage(const std::vector<uint8_t>& file, const char* fileName);

  // Hardware identifier text: "%08X-%08X-%08X" when a word exceeds 0xFFFFFF,
  // else "%06X-%06X-%06X".
  PStr HardwareIdText() const;
  bool HardwareIdValid() const;
  // Index bits of the byte (low 5 bits).
  uint32_t CurrentIndex() const { return ExchangeIndex & 0x1F; }

  // Exchange state.
  uint8_t ExchangeIndex = 0;  // low 5 bits: the index; upper 3 bits untouched

  // Session and identity.
  uint32_t TargetId = 0;  // 0 until SET_EXCHANGE succeeded
  uint8_t IfReady = 1;
  uint8_t IfType = 0;
  bool InterfaceWordReceived = false;
  uint32_t SetupTimeout = kSetupTimeout;
  uint32_t StatusWord = 0;
  uint32_t BootVersion = 0;
  Istr BootDate{""};
  uint32_t TargetVersion = 0;  // major in the high 16 bits
  Istr TargetDate{""};
  std::u16string VersionSuffix;
  Istr BootVersionText{""};
  Istr TargetVersionText{""};
  Istr ProductName{""};
  Istr SerialNumber{""};
  uint32_t HardwareId[3] = {0, 0, 0};  // low, middle, high
  std::vector<uint8_t> PublicArea;     // empty: none stored

  // Target file and signature (programming).
  bool IgnoreSignature = false;
  bool ForceTargetUpload = false;  // from the "ftu" option at construction
  uint32_t DeviceSignature = kNoSignature;
  Istr SignatureFileName{""};  // as received
  Istr SignatureWorkName{""};  // working form
  Istr SignatureText{""};
  bool SignatureTextReceived = false;
  Istr TargetFilePath{""};  // explicit target file; empty: the target folder
  uint8_t FileVersionMinor = 0;
  uint8_t FileVersionMajor = 0;
  uint32_t ChosenTarget = 0;
  uint32_t ReinitDelay = kReinitDelay;
  // The target names of the container file being programmed (one empty name
  // for a single-target file); ChooseTarget picks among them.
  std::vector<std::string> TargetNames;
  FirmwareImageState ImageState;  // cleared at construction

 protected:
  // End of every exchange that took the lock.
  void FinishExchange();
  // One trace line (command or reply).
  void BuildTraceLine(PStr& text, char open, char close, uint32_t code, const char* suffix,
                      const unsigned char* bytes, uint32_t count);
  bool ReadSerial();
  void LogPublicArea();
  // Remembers the version bytes of a container target file (trying ".bin"
  // for a missing ".trg").
  void ReadTargetFileVersion(const char* fileName);
  void BitWordText(PStr& text, const char* title, uint32_t word, bool status);
  // Target programming from the two kinds of target file (target.cpp).
  bool ProgramContainer(const char* path);
  bool FlashContainerTarget(const char* path, const std::vector<uint8_t>& file,
                            const ContainerTarget& target, uint32_t signature);
  bool ProgramIntelHex(const char* path);
  bool FlashIntelHex(const char* path, SMemoryCache& cache);
  // One FW_IMAGE_WRITE of the staged image; false (Failed set) on failure.
  bool WriteImageChunk(uint32_t offset, uint32_t count);
  // The burn wait with its progress calls.
  void WaitForBurn(uint32_t burnWait);

  std::string signatureStatus_;  // status bytes of the signature record, " %02X" each

 private:
  // The steps of one exchange (exchange.cpp).
  enum class AttemptResult { kDone, kFailed, kReplySkipped };
  // False (WasError set) when this thread is already inside an exchange or
  // the frame could not be built.
  bool ReadyToSend(const USBDeviceBuffer* buffer);
  // Clears the failed attempt's state, waits the retry pause and says so.
  void PrepareRetry();
  // Sends the frame once and reads its reply.
  AttemptResult Attempt(USBDeviceBuffer& buffer);
  // Writes the length word and the exchange index into the frame and
  // advances the index; UnstampFrame takes the index back for the retry.
  void StampFrame(unsigned char* frame, uint32_t size);
  void UnstampFrame(unsigned char* frame, uint32_t size);
  // The command's trace line, when the trace level asks for it.
  void TraceCommand();
  // The failure text and log line of a frame that could not be written.
  void ReportSendFailure();
  // The first transfer of the reply into the input buffer; false with the
  // failure text when nothing arrived.
  bool ReceiveReply(USBDeviceBuffer* buffer, uint32_t inputSize, uint32_t& received);
  // The length and reply words against the input buffer's size.
  bool CheckReplyHeader(USBDeviceBuffer& buffer, uint32_t inputSize, uint32_t received,
                        uint32_t& replyWord);
  // The reply word against the command: its code and its index.
  bool CheckReplyWord(uint32_t replyWord);
  // A transfer must not be longer than the reply its length word announces.
  bool CheckTransferSize(uint32_t received);
  // Reads the part of the reply that the first transfer did not bring.
  bool ReadReplyRest(USBDeviceBuffer& buffer, uint32_t received);
  // Logs the bytes received (" XX" each, at most kDumpLimit); gives false.
  bool DumpReply(USBDeviceBuffer& buffer, uint32_t received);
};

#pragma once
// The serial service (TComIo) and the connect helper (TComEsp). No Qt here: the
// window reaches in through IMainView, the loader session through IPacketSource.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "../support/uDebugLog.h"
#include "CPort.h"

// Connection settings, held by the main window and stored in the settings file.
struct TConfig {
  uint32_t ConnBaud = 115200;
  uint32_t FastBaud = 921600;
  bool FastFirst = true;
  uint32_t SlowLow = 1400;
  uint32_t SlowHigh = 500;
  uint32_t FastLow = 150;
  uint32_t FastHigh = 100;
  bool DoBeep = true;
  bool UseStub = true; // false: flash through the ROM loader's own commands
};

// What the serial service and the connect helper use of the main window.
class IMainView {
public:
  virtual ~IMainView() = default;
  virtual std::string PortText() const = 0; // text of cbPort, empty when none is selected
  virtual std::string StatusText() const = 0; // panel 0 of the status bar
  virtual void SetStatusText(const std::string& Text) = 0;
  virtual void ProcessMessages() = 0;
  virtual void SetLed(bool On) = 0;
  virtual const TConfig& Config() const = 0;
};

// What the loader session uses of the serial service; tests put a scripted fake here.
class IByteLink {
public:
  virtual ~IByteLink() = default;
  virtual int ComGetSer(int TimeOut) = 0;               // next byte 0..255, or -1 on time-out
  virtual void ClearBuffer(bool Input, bool Output) = 0;  // cPort.ClearBuffer
  virtual int Write(const void* Buffer, int32_t Count) = 0; // cPort.Write
  virtual int32_t CustomBaudRate() const = 0;
  virtual void SetCustomBaudRate(int32_t Value) = 0;
};

// What the connect helper uses of the loader session.
class IPacketSource {
public:
  virtual ~IPacketSource() = default;
  virtual int getPacket(int Timeout, bool ChkDir) = 0;
  virtual const uint8_t* ResponseBytes() const = 0; // the response record from its first byte
  virtual size_t ResponseCapacity() const = 0;      // bytes in that record
};

class TComIo;

class TComEsp {
public:
  TComEsp(TComIo& ComIo, IMainView& Main, TDebugLog& Debug);
  void AttachEsp(IPacketSource* Esp) { FEsp = Esp; } // the session is made when the window shows
  bool ConnectESP(uint32_t baud, bool delay);
  bool DoConnect();

private:
  TComIo& FComIo;
  IMainView& FMain;
  TDebugLog& FDebug;
  IPacketSource* FEsp = nullptr;
};

class TComponentUSB; // U_Usb.h

class TComIo : public IByteLink {
public:
  TComIo(IMainView& Main, TDebugLog& Debug);
  ~TComIo() override;

  TComPort cPort;
  int32_t Tag = 0;

  int ComGetSer(int TimeOut) override;
  void ComFlush();
  void ComWriteStr(const std::u16string& s);
  void DoReset();
  void DisConnect();
  void cPortAfterOpen();
  void cPortAfterClose();

  TComEsp& ComEsp() { return *FComEsp; }
  TComponentUSB* TUsb() { return FUsb.get(); }

  // USB watcher glue
  void UsbArrival(TComponentUSB& Sender);
  void UsbRemove(TComponentUSB& Sender);
  std::string UsbPortName(const std::string& path);

  // IByteLink
  void ClearBuffer(bool Input, bool Output) override { cPort.ClearBuffer(Input, Output); }
  int Write(const void* Buffer, int32_t Count) override { return cPort.Write(Buffer, Count); }
  int32_t CustomBaudRate() const override { return cPort.CustomBaudRate(); }
  void SetCustomBaudRate(int32_t Value) override { cPort.SetCustomBaudRate(Value); }

private:
  void DataModuleCreate();
  IMainView& FMain;
  TDebugLog& FDebug;
  std::unique_ptr<TComponentUSB> FUsb;
  std::unique_ptr<TComEsp> FComEsp;
};

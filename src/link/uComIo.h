#pragma once
// The serial service (TComIo): one port, its lines and its bytes. No Qt and no ESP here:
// the loader session reaches the bytes through IByteLink, the lamp is an IPortLamp.
#include <cstddef>
#include <cstdint>
#include <string>

#include "CPort.h"

// The connection lamp: on while the port is open. The window's LED, or a job that
// passes it on to whoever shows its run.
class IPortLamp {
public:
  virtual ~IPortLamp() = default;
  virtual void SetLed(bool On) = 0;
};

// What the loader session uses of the serial service; tests put a scripted fake here.
class IByteLink {
public:
  virtual ~IByteLink() = default;
  virtual int ComGetSer(int TimeOut) = 0;                   // next byte 0..255, or -1 on time-out
  virtual void ClearBuffer(bool Input, bool Output) = 0;    // cPort.ClearBuffer
  virtual int Write(const void* Buffer, int32_t Count) = 0; // cPort.Write
  virtual int32_t CustomBaudRate() const = 0;
  virtual void SetCustomBaudRate(int32_t Value) = 0;
};

class TComIo : public IByteLink {
public:
  explicit TComIo(IPortLamp* Lamp = nullptr);
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

  // Who hears of the port opening and closing; returns the one before.
  IPortLamp* SetLamp(IPortLamp* Lamp);

  // IByteLink
  void ClearBuffer(bool Input, bool Output) override { cPort.ClearBuffer(Input, Output); }
  int Write(const void* Buffer, int32_t Count) override { return cPort.Write(Buffer, Count); }
  int32_t CustomBaudRate() const override { return cPort.CustomBaudRate(); }
  void SetCustomBaudRate(int32_t Value) override { cPort.SetCustomBaudRate(Value); }

private:
  IPortLamp* FLamp;
};

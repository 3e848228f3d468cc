#pragma once
// A loader session on the scripted fake link, with the helpers the command tests share.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "FakeLink.h"
#include "protocol/uEsp.h"

struct TEspFixture : ::testing::Test {
  TFakeLink Link;
  TDebugLog Log;
  std::unique_ptr<TEsp> Esp = std::make_unique<TEsp>(Link, Log);

  void Reply(const Bytes& Packet) { Link.Replies.push_back(Slip(Packet)); }
  void ReplyOk(uint8_t Com, uint32_t Value = 0) { Reply(ResponsePacket(Com, Value)); }
  Bytes LastRequest() const { return Unslip(Link.Writes.back()); }
  // The message raised by f, or "" when it raised nothing.
  static std::string Raised(const std::function<void()>& f) {
    try {
      f();
    } catch (const Exception& e) {
      return e.what();
    }
    return "";
  }
};

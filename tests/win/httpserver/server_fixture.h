// A started server per test, on a thread manager of its own.
#pragma once

#include <gtest/gtest.h>

#include "http_test_support.h"
#include "httpserver/http_server.h"

namespace http_test {

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Log().Clear();
    m_threads = new TestThreadManager;
  }

  // Every connection of the test has ended before the next test reads the log.
  void TearDown() override {
    if (m_server != nullptr) {
      EXPECT_TRUE(WaitUntil([this] { return m_server->OpenConnections() == 0; }));
    }
  }

  // The server is never destroyed: its accept thread runs until the process ends.
  HttpServer* StartServer(const HttpServerLimits& limits = HttpServerLimits()) {
    m_server = new HttpServer(m_gate, limits);
    EXPECT_TRUE(m_server->Start(m_threads, 0));
    return m_server;
  }

  TestThreadManager* m_threads = nullptr;
  // Outlives the test, as the servers given it do.
  FakeUploadGate* m_gate = new FakeUploadGate;
  HttpServer* m_server = nullptr;
};

}  // namespace http_test

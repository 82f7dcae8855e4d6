// When the engine log is set aside for a fresh one, apart from the OS: the
// bytes written are counted as lines go out, so that the check costs no system
// call per line.
#pragma once

#include <cstddef>
#include <cstdint>

class LogBound {
 public:
  // `limit` in bytes; 0 never asks for a switch.
  explicit LogBound(uint64_t limit = 0) : m_limit(limit), m_nextTry(limit) {}

  // A log file was opened holding `size` bytes already.
  void Opened(uint64_t size) {
    m_size = size;
    m_nextTry = m_limit;
  }

  // True when a line of `bytes` would carry the file past the limit: the file
  // should be switched before the line is written. An empty file takes any
  // line, so no file is ever switched for holding nothing.
  bool Due(size_t bytes) const { return m_limit != 0 && m_size != 0 && m_size + bytes > m_nextTry; }

  void Wrote(size_t bytes) { m_size += bytes; }

  // A switch failed and the old file goes on: the next try waits until it has
  // grown by another eighth of the limit, so that a file that cannot be moved
  // costs a few tries per limit's worth of lines, never one per line.
  void Failed() { m_nextTry = m_size + RetryStep(); }

  uint64_t limit() const { return m_limit; }
  uint64_t RetryStep() const { return m_limit / 8 != 0 ? m_limit / 8 : 1; }

 private:
  uint64_t m_limit;
  uint64_t m_size = 0;
  uint64_t m_nextTry;
};

#include "runtime/log_output.h"

#include <cstdio>
#include <cstring>

namespace {

std::string SizeText(uint64_t bytes) {
  char text[32];
  if (bytes % (1 << 20) == 0) {
    snprintf(text, sizeof(text), "%lu MB", static_cast<unsigned long>(bytes >> 20));
  } else {
    snprintf(text, sizeof(text), "%lu bytes", static_cast<unsigned long>(bytes));
  }
  return text;
}

}  // namespace

LogOutput::LogOutput(const char* path, uint64_t limit_bytes) {
  if (path == nullptr || strcmp(path, "null") == 0) return;
  if (strcmp(path, "stdout") == 0) {
    AllocConsole();
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    // No console at all reads as null: treat it as logging off.
    if (console != nullptr) m_output = console;
    m_on = m_output != INVALID_HANDLE_VALUE;
    return;
  }
  m_path = path;
  m_backup = m_path + ".bak";
  m_bound = LogBound(limit_bytes);
  OpenFile();
  m_on = m_ownedOutput.valid();
}

bool LogOutput::OpenFile(bool* renamed_out) {
  bool renamed = false;
  zrvd::unique_hfile existing(
      CreateFileA(m_path.c_str(), 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (existing) {
    existing.reset();
    renamed = MoveFileExA(m_path.c_str(), m_backup.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    if (!renamed) m_lastError = GetLastError();
  }
  if (renamed_out != nullptr) *renamed_out = renamed;
  uint64_t size = 0;
  // An empty file is a new log even when the rename failed: there was nothing
  // to keep.
  return OpenAtEnd(m_path, OPEN_ALWAYS, &size) && size == 0;
}

bool LogOutput::OpenAtEnd(const std::string& path, DWORD disposition, uint64_t* size) {
  // Appending only: every write lands at the end as it is then, after the
  // old log's lines (a failed rename) and after what another writer put
  // there meanwhile (the crash handler's line), never over them.
  m_ownedOutput.reset(CreateFileA(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  m_output = m_ownedOutput ? m_ownedOutput.get() : INVALID_HANDLE_VALUE;
  if (!m_ownedOutput) {
    m_lastError = GetLastError();
    return false;
  }
  // The end is the size the bound counts from.
  DWORD high = 0;
  const DWORD low = GetFileSize(m_ownedOutput.get(), &high);
  *size = low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR
              ? 0
              : (static_cast<uint64_t>(high) << 32) | low;
  m_bound.Opened(*size);
  return true;
}

void LogOutput::Write(const char* line, size_t length, const LogStamp& stamp, const char* module,
                      const char* thread_name) {
  if (m_bound.Due(length)) Switch(stamp, module, thread_name);
  Emit(line, length);
}

void LogOutput::Switch(const LogStamp& stamp, const char* module, const char* thread_name) {
  // Our handle does not share deletion (Windows 9x knows no such sharing), so
  // the rename needs it closed.
  m_ownedOutput.reset();
  m_output = INVALID_HANDLE_VALUE;
  m_lastError = 0;
  bool renamed = false;
  const bool fresh = OpenFile(&renamed);
  // No new file opens, but the old lines are in ".bak": go on there.
  const bool in_backup = !m_ownedOutput && (renamed || m_inBackup);
  if (in_backup) {
    const DWORD error = m_lastError;
    uint64_t size = 0;
    OpenAtEnd(m_backup, OPEN_EXISTING, &size);
    m_lastError = error;
  }
  m_inBackup = in_backup && m_ownedOutput;

  const std::string limit = SizeText(m_bound.limit());
  char message[kLogLineBufferSize];
  if (fresh) {
    snprintf(message, sizeof(message),
             "Log started anew: the previous one reached the limit of %s"
             " (P4PShareLogMaxMB) and is now %s",
             limit.c_str(), m_backup.c_str());
  } else {
    // The lines go on in the old file. Should no file open at all, lines are
    // dropped but still counted, so that the next try comes all the same.
    m_bound.Failed();
    snprintf(message, sizeof(message),
             "Log reached the limit of %s but could not be started anew at %s (error %lu);"
             " writing on in this file, next try after another %s",
             limit.c_str(), m_path.c_str(), static_cast<unsigned long>(m_lastError),
             SizeText(m_bound.RetryStep()).c_str());
  }
  char line[kLogLineBufferSize];
  Emit(line, FormatLogLine(line, sizeof(line), stamp, module, thread_name, message));
}

void LogOutput::Emit(const char* bytes, size_t length) {
  DWORD written = 0;
  if (m_output != INVALID_HANDLE_VALUE) {
    WriteFile(m_output, bytes, static_cast<DWORD>(length), &written, nullptr);
  }
  // Counted whether written or not: the bound follows the lines, never the OS.
  m_bound.Wrote(length);
}

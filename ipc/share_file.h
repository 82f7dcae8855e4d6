// The share command: registers a handed-over file in the catalogue and
// reports it to the tracker host. Runs on the IPC connection's thread; several
// may run at once (they meet in the registry, under the catalogue lock while an
// entry is written, and in the log).
#pragma once

#include <cstdint>
#include <string>

// Registers `local_path` under `md5` when its size is at least 128 KiB and
// below 4 GiB, and for modes "0" and "1" reports it through the web client.
// Outcomes are logged only; the client is never told. An entry that cannot be
// written whole is logged and neither checked nor reported.
void ShareFile(const std::string& local_path, const std::string& md5, const std::string& url,
               const std::string& mode);

// Sends the "insert.php?" report; true when the tracker answered "OK\r\n".
bool ReportSharedFile(const std::string& url, const std::string& md5, uint32_t size,
                      const std::string& mode);

// Requests the tracker's base URL + `query` + "uid=..." and reads the answer.
// `output` gets the answer's value on success, otherwise the body obtained.
bool SendTrackerRequest(const std::string& query, std::string* output);

// The record of what we asked a router for, kept in the engine key.
#pragma once

#include <string>

#include "portmap/pcp_client.h"
#include "portmap/port_mapping_rules.h"

// The record's text; empty when there is none. Read in a look, it is adopted:
// this run acts on it.
std::string ReadRecordText();
// The record's text only while it is the one this run last wrote or adopted;
// empty otherwise. The end acts on nothing else: a daemon started while this one
// ends may have written its own.
std::string OwnedRecordText();
// True with `record` filled when the engine key holds a record of UPnP.
bool ReadRecord(MappingRecord* record);
bool ReadOwnedRecord(MappingRecord* record);
bool WriteRecord(const MappingRecord& record);
// Clears the record only while it still names `record` (reads `text`).
void ClearRecord(const MappingRecord& record);
void ClearRecordText(const std::string& text);
// The record as the PCP / NAT-PMP client reads and writes it; at the end, the
// one this run owns. The PortMap thread's only.
const RecordStore& Store();
const RecordStore& OwnedStore();

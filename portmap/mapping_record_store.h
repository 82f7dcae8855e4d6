// The record of what we asked a router for, kept in the engine key.
#pragma once

#include <string>

#include "portmap/pcp_client.h"
#include "portmap/port_mapping_rules.h"

// The record's text; empty when there is none.
std::string ReadRecordText();
// True with `record` filled when the engine key holds a record of UPnP.
bool ReadRecord(MappingRecord* record);
bool WriteRecord(const MappingRecord& record);
// Clears the record only while it still names `record`.
void ClearRecord(const MappingRecord& record);
// The record as the PCP / NAT-PMP client reads and writes it.
const RecordStore& Store();

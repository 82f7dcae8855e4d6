// The "cost" object of the status JSON and its table rows: what the link costs,
// why internet peers are refused, the monthly budget and the bytes to each kind
// of peer. Portable.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "uploadpolicy/upload_book.h"

std::string FormatCostJson(const UploadBook::Figures& figures);
// (row name, text) pairs, in table order.
std::vector<std::pair<std::string, std::string>> FormatCostRows(const UploadBook::Figures& figures);

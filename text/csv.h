// One field of a CSV line (RFC 4180): as is, or in double quotes with its
// quotes doubled when it holds a comma, a quote or a line break. Shared by
// every CSV the programs print (the SQL shell, the run history, previews).
#pragma once

#include <string>

namespace dbu {

std::string CsvField(const std::string& value);

}  // namespace dbu

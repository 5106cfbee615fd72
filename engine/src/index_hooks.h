// Links between the C interface and the engine's optional layers (indexes,
// statements, dictionaries), so that api.cpp stays about tables.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine.h"
#include "objects.h"
#include "table_format.h"

namespace eng {

// Indexes.
ENGHANDLE IndexOwner(Object& index);          // the table handle of an index handle
RecordOrder* IndexOrder(Object& index);       // its order
void ReleaseIndexObject(Object& index);
void AttachIndexes(TableObject& table);       // at open: the table's tags
void SetKeySegment(Object& index, uint16_t field, const uint8_t* value, uint32_t len, bool raw);

// Statements.
void ReleaseStatementObject(Object& statement);
ENGRESULT StatementRowCount(Object& statement, uint32_t* count);

// Dictionaries.
void OpenDictionary(ConnectionObject& conn, const std::string& path, const std::string& user,
                    const std::string& password);
// Before a table is made on a dictionary connection: refuses a path
// outside the dictionary's folder, where it could not be registered.
void CheckDictionaryTableFile(ConnectionObject& conn, const std::string& name, const std::string& path);
void RegisterInDictionary(ConnectionObject& conn, const std::string& name, const std::string& path);
std::string DictionaryTablePath(ConnectionObject& conn, const std::string& name);

// Tables.
// checksums=false makes a table as written before slots carried checksums
// (for tests of old files).
void CreateTableFile(const std::string& path, const std::vector<FieldDecl>& field_decls, bool checksums = true);
// The header of a new, empty table file with these fields (what
// CreateTableFile writes).
std::vector<uint8_t> NewTableHeader(const std::vector<FieldDecl>& field_decls, bool checksums = true);
ENGHANDLE RegisterTable(const std::shared_ptr<ConnectionObject>& conn, std::shared_ptr<TableObject> t, uint16_t kind);
void CloseAnyHandle(ENGHANDLE h);

}  // namespace eng

/*
 * Public interface of the embedded database engine.
 *
 * A C interface so that the data access layer (and any other language) can
 * call it: 32-bit handles, 32-bit result codes (engine_errors.h), NUL-ended
 * texts, and in/out buffer lengths (16-bit for texts, 32-bit for record and
 * memo data). Every call returns ENG_OK or an error code; EngGetLastError
 * gives the calling thread's last code and a text naming what failed.
 *
 * Handles: connections, tables, indexes (tags), statements and SQL cursors.
 * A table handle has one current position; its index handles navigate in
 * their own order but move that same position. Fields are addressed by
 * 1-based field number. Handles may be used from any thread; calls on one
 * table are serialized internally, and changes made through one handle are
 * seen at once by every other handle on the table, in this and other
 * processes.
 *
 * Text output convention: *len gives the room (including the NUL) on entry
 * and the length written (without the NUL) on return. When the text does not
 * fit, ENG_ERR_BUFFER_TOO_SMALL is returned and *len is the length needed.
 */
#ifndef ENGINE_H
#define ENGINE_H

#include <stdint.h>

#include "engine_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t ENGHANDLE;
typedef uint32_t ENGRESULT;

/* Handle kinds (EngGetHandleType). */
#define ENG_HANDLE_CONNECTION 1
#define ENG_HANDLE_TABLE 2
#define ENG_HANDLE_INDEX 3
#define ENG_HANDLE_STATEMENT 4
#define ENG_HANDLE_CURSOR 5

/* Server type mask (EngConnectEx): every mask is served by the embedded engine. */
#define ENG_LOCAL_SERVER 1
#define ENG_REMOTE_SERVER 2
#define ENG_INTERNET_SERVER 4

/* Table types. */
#define ENG_TABLE_DEFAULT 0 /* dictionary decides */
#define ENG_TABLE_NTX 1
#define ENG_TABLE_CDX 2
#define ENG_TABLE_NATIVE 3

/* Open options (EngOpenTable). */
#define ENG_OPEN_EXCLUSIVE 1
#define ENG_OPEN_READONLY 2

/* Character types. */
#define ENG_CHARS_ANSI 1
#define ENG_CHARS_OEM 2

/* Lock types. */
#define ENG_LOCK_COMPATIBLE 0
#define ENG_LOCK_PROPRIETARY 1

/* Rights checking. */
#define ENG_CHECK_RIGHTS 1
#define ENG_IGNORE_RIGHTS 2

/* Field types: the raw record layout of each is fixed (see the record codec). */
#define ENG_LOGICAL 1
#define ENG_NUMERIC 2
#define ENG_DATE 3
#define ENG_STRING 4
#define ENG_MEMO 5
#define ENG_BINARY 6
#define ENG_IMAGE 7
#define ENG_VARCHAR 8
#define ENG_COMPACTDATE 9
#define ENG_DOUBLE 10
#define ENG_INTEGER 11
#define ENG_SHORTINT 12
#define ENG_TIME 13
#define ENG_TIMESTAMP 14
#define ENG_AUTOINC 15
#define ENG_RAW 16
#define ENG_CURDOUBLE 17

/* Memo data types (EngGetMemoDataType). */
#define ENG_MEMO_TEXT 5
#define ENG_MEMO_BINARY 6

/* Index options (EngCreateIndex, EngIsIndex...). */
#define ENG_INDEX_UNIQUE 1
#define ENG_INDEX_DESCENDING 2

/* Key and seek types (EngSeek). */
#define ENG_RAWKEY 1
#define ENG_STRINGKEY 2
#define ENG_SEEK_SOFT 1  /* first key not less than the given one */
#define ENG_SEEK_HARD 2  /* exact match on the given leading segments */

/* Filter options (EngSetOptimizedFilter). */
#define ENG_RESOLVE_IMMEDIATE 1
#define ENG_RESOLVE_DYNAMIC 2

/* EngGetRecordNum / EngGetRecordCount options. */
#define ENG_RESPECTFILTERS 1
#define ENG_IGNOREFILTERS 2

/* Dictionary table properties (EngDictGetTableProperty / EngDictSetTableProperty). */
#define ENG_DD_TABLE_DEFAULT_INDEX 213

#define ENG_MAX_KEY_SIZE 256
#define ENG_MAX_FIELD_NAME 128

/* ---- Connection ---------------------------------------------------------- */

/* connectPath names a folder (free tables) or a dictionary file (".add",
 * found without regard to case). user and password are checked on a
 * dictionary and ignored on a folder. */
ENGRESULT EngConnectEx(const char *connectPath, uint16_t serverTypes, const char *user,
                       const char *password, uint32_t options, ENGHANDLE *hConnect);
ENGRESULT EngConnect(const char *connectPath, ENGHANDLE *hConnect);
/* Closes every table, index, statement and cursor opened through the handle. */
ENGRESULT EngDisconnect(ENGHANDLE hConnect);
ENGRESULT EngGetServerName(ENGHANDLE hConnect, char *name, uint16_t *len);
ENGRESULT EngSetServerType(uint16_t serverTypes);
ENGRESULT EngGetLastError(uint32_t *code, char *text, uint16_t *len);
/* Writes the thread's last error text to standard error, or hands it to the
 * handler registered with EngSetErrorHandler. */
ENGRESULT EngShowError(const char *caption);
typedef void (*EngErrorHandler)(const char *caption, const char *text, void *context);
ENGRESULT EngSetErrorHandler(EngErrorHandler handler, void *context);
ENGRESULT EngGetHandleType(ENGHANDLE h, uint16_t *type);

/* ---- Tables -------------------------------------------------------------- */

/* fieldDefs: "NAME,TYPE[,LENGTH[,DECIMALS]];..." where TYPE is one of
 * Logical, Numeric, Date, Char (or String), Memo, Binary, Image, Varchar,
 * CompactDate, Double, Integer, ShortInt, Time, TimeStamp, AutoInc, Raw,
 * CurDouble (or Money), without regard to case. The name gets ".adt" when it
 * has no extension; relative names resolve in the connection's folder. */
ENGRESULT EngCreateTable(ENGHANDLE hConnect, const char *name, const char *fieldDefs,
                         uint32_t options, ENGHANDLE *hTable);
ENGRESULT EngOpenTable(ENGHANDLE hConnect, const char *name, const char *alias,
                       uint16_t tableType, uint16_t charType, uint16_t lockType,
                       uint32_t rights, uint32_t options, ENGHANDLE *hTable);
ENGRESULT EngCloseTable(ENGHANDLE hTable);
ENGRESULT EngGetTableType(ENGHANDLE hTable, uint16_t *tableType);
ENGRESULT EngGetTableFilename(ENGHANDLE hTable, char *path, uint16_t *len);
ENGRESULT EngGetTableOpenOptions(ENGHANDLE hTable, uint32_t *options);
ENGRESULT EngGetRecordLength(ENGHANDLE hTable, uint32_t *length);
/* A number for what a table handle shows of its table's make: its fields,
 * record length and index tags. Equal numbers (from handles of this process,
 * on any tables) mean the same make; the table changed in make (another
 * layout, a tag made or dropped, here or in another process) gives a number
 * not given before. 0 for a handle whose make is not to be remembered (a
 * result set). Lets a caller that opens the same tables over and over keep
 * what it read of them. */
ENGRESULT EngGetLayoutStamp(ENGHANDLE hTable, uint64_t *stamp);
ENGRESULT EngGetNumFields(ENGHANDLE hTable, uint16_t *count);
ENGRESULT EngGetFieldNum(ENGHANDLE hTable, const char *name, uint16_t *field);
ENGRESULT EngGetFieldName(ENGHANDLE hTable, uint16_t field, char *name, uint16_t *len);
ENGRESULT EngGetFieldType(ENGHANDLE hTable, uint16_t field, uint16_t *type);
ENGRESULT EngGetFieldLength(ENGHANDLE hTable, uint16_t field, uint32_t *length);
/* The length a field was declared with: a VARCHAR's longest text (its
 * stored length is that of a memo reference); else as EngGetFieldLength. */
ENGRESULT EngGetFieldDeclaredLength(ENGHANDLE hTable, uint16_t field, uint32_t *length);
ENGRESULT EngGetFieldDecimals(ENGHANDLE hTable, uint16_t field, uint16_t *decimals);
ENGRESULT EngGetFieldOffset(ENGHANDLE hTable, uint16_t field, uint32_t *offset);
/* Live records (ENG_RESPECTFILTERS counts only those the filter shows). */
ENGRESULT EngGetRecordCount(ENGHANDLE h, uint16_t option, uint32_t *count);
/* Zap and pack need the table opened exclusively. */
ENGRESULT EngZapTable(ENGHANDLE hTable);
ENGRESULT EngPackTable(ENGHANDLE hTable);
ENGRESULT EngEnableEncryption(ENGHANDLE hTable, const char *password);
ENGRESULT EngEncryptTable(ENGHANDLE hTable);
ENGRESULT EngDecryptTable(ENGHANDLE hTable);
ENGRESULT EngIsTableEncrypted(ENGHANDLE hTable, uint16_t *encrypted);

/* ---- Positioning and reading ---------------------------------------------
 * h is a table handle (natural order) or an index handle (that index's
 * order). Skipping before the first record leaves the position "at BOF"
 * (a following skip of +1 lands on the first record); skipping past the
 * last leaves it "at EOF" (a skip of -1 lands on the last). On an
 * encrypted table, moving, reading a record and asking for the ends
 * (EngAtEOF, EngAtBOF) fail with ENG_ERR_ENCRYPTED until EngEnableEncryption
 * gave the handle its password, so that such a table never looks empty. */
ENGRESULT EngGotoTop(ENGHANDLE h);
ENGRESULT EngGotoBottom(ENGHANDLE h);
ENGRESULT EngSkip(ENGHANDLE h, int32_t records);
ENGRESULT EngAtEOF(ENGHANDLE h, uint16_t *atEof);
ENGRESULT EngAtBOF(ENGHANDLE h, uint16_t *atBof);
/* 5068 when there is no current record. */
ENGRESULT EngIsRecordVisible(ENGHANDLE h, uint16_t *visible);
/* Copies the raw record (pending changes included) into buffer. */
ENGRESULT EngGetRecord(ENGHANDLE h, uint8_t *buffer, uint32_t *len);
ENGRESULT EngGetRecordNum(ENGHANDLE h, uint16_t option, uint32_t *recno);
ENGRESULT EngGotoRecord(ENGHANDLE h, uint32_t recno);
ENGRESULT EngGetBookmarkLength(ENGHANDLE h, uint32_t *len);
ENGRESULT EngGetBookmarkEx(ENGHANDLE h, uint8_t *bookmark, uint32_t *len);
ENGRESULT EngGotoBookmark(ENGHANDLE h, const uint8_t *bookmark, uint32_t len);
ENGRESULT EngIsEmpty(ENGHANDLE h, uint16_t field, uint16_t *empty);
/* A field's text (string types, trailing blanks kept) or a memo's content. */
ENGRESULT EngGetField(ENGHANDLE h, uint16_t field, uint8_t *buffer, uint32_t *len);
ENGRESULT EngGetMemoLength(ENGHANDLE h, uint16_t field, uint32_t *len);
ENGRESULT EngGetMemoDataType(ENGHANDLE h, uint16_t field, uint16_t *type);
ENGRESULT EngGetBinaryLength(ENGHANDLE h, uint16_t field, uint32_t *len);
/* Deleted records are never shown: reports 0. */
ENGRESULT EngGetDeleted(ENGHANDLE h, uint16_t *showDeleted);
/* Julian day numbers and the text form YYYYMMDD. */
ENGRESULT EngConvertStringToJulian(const char *yyyymmdd, uint16_t len, double *julian);
ENGRESULT EngConvertJulianToString(double julian, char *yyyymmdd, uint16_t *len);

/* ---- Editing -------------------------------------------------------------- */

ENGRESULT EngLockRecord(ENGHANDLE hTable, uint32_t recno);
ENGRESULT EngUnlockRecord(ENGHANDLE hTable, uint32_t recno);
/* The empty record image of the table (every field empty). */
ENGRESULT EngClearRecordBuffer(ENGHANDLE hTable, uint8_t *buffer, uint32_t *len);
ENGRESULT EngGetNullRecord(ENGHANDLE hTable, uint8_t *buffer, uint32_t *len);
/* Reserves a new record and its number and makes it current; EngWriteRecord
 * makes it real, EngCancelUpdate drops it. */
ENGRESULT EngAppendRecord(ENGHANDLE hTable);
/* Text for string and memo-like fields (strings are blank-padded or cut). On
 * an index handle after EngInitRawKey these set a key segment instead. */
ENGRESULT EngSetField(ENGHANDLE h, uint16_t field, const uint8_t *value, uint32_t len);
/* Raw bytes in the field's record layout. */
ENGRESULT EngSetFieldRaw(ENGHANDLE h, uint16_t field, const uint8_t *value, uint32_t len);
ENGRESULT EngSetEmpty(ENGHANDLE h, uint16_t field);
ENGRESULT EngWriteRecord(ENGHANDLE hTable);
ENGRESULT EngCancelUpdate(ENGHANDLE hTable);
ENGRESULT EngDeleteRecord(ENGHANDLE hTable);
ENGRESULT EngGetLastAutoinc(ENGHANDLE h, uint32_t *value);

/* ---- Indexes and keys ----------------------------------------------------- */

/* fields: segment field names separated by ";". pageSize 0 means 512. */
ENGRESULT EngCreateIndex(ENGHANDLE hTable, const char *tag, const char *fields, uint32_t options,
                         uint32_t pageSize, ENGHANDLE *hIndex);
ENGRESULT EngDeleteIndex(ENGHANDLE hIndex);
ENGRESULT EngReindex(ENGHANDLE hTable);
ENGRESULT EngGetAllIndexes(ENGHANDLE hTable, ENGHANDLE *indexes, uint16_t *count);
ENGRESULT EngGetIndexHandle(ENGHANDLE hTable, const char *tag, ENGHANDLE *hIndex);
ENGRESULT EngGetIndexName(ENGHANDLE hIndex, char *name, uint16_t *len);
ENGRESULT EngGetNumSegments(ENGHANDLE hIndex, uint16_t *count);
ENGRESULT EngGetSegmentFieldname(ENGHANDLE hIndex, uint16_t segment, char *name, uint16_t *len);
ENGRESULT EngIsIndexUnique(ENGHANDLE hIndex, uint16_t *unique);
ENGRESULT EngIsIndexDescending(ENGHANDLE hIndex, uint16_t *descending);
ENGRESULT EngGetIndexPageSize(ENGHANDLE hIndex, uint32_t *pageSize);
ENGRESULT EngOpenIndex(ENGHANDLE hTable, const char *file, ENGHANDLE *indexes, uint16_t *count);
ENGRESULT EngCloseIndex(ENGHANDLE hIndex);
ENGRESULT EngGetIndexFilename(ENGHANDLE hIndex, uint16_t option, char *name, uint16_t *len);
ENGRESULT EngInitRawKey(ENGHANDLE hIndex);
/* Builds the key from the segments set since EngInitRawKey (into at most
 * ENG_MAX_KEY_SIZE bytes); *len is the key length. */
ENGRESULT EngBuildRawKey(ENGHANDLE hIndex, uint8_t *key, uint16_t *len);
ENGRESULT EngSeek(ENGHANDLE hIndex, const uint8_t *key, uint16_t len, uint16_t keyType,
                  uint16_t seekType, uint16_t *found);

/* ---- Filters -------------------------------------------------------------- */

ENGRESULT EngSetExactEx(ENGHANDLE h, uint16_t exact);
ENGRESULT EngSetOptimizedFilter(ENGHANDLE h, const char *expression, uint16_t option);
ENGRESULT EngClearOptimizedFilter(ENGHANDLE h);
ENGRESULT EngSetFilter(ENGHANDLE h, const char *expression);
ENGRESULT EngClearFilter(ENGHANDLE h);
ENGRESULT EngExpressionLongToShort(ENGHANDLE h, const char *expression, char *out, uint16_t *len);
ENGRESULT EngExpressionShortToLong(ENGHANDLE h, const char *expression, char *out, uint16_t *len);

/* ---- SQL statements ------------------------------------------------------- */

ENGRESULT EngCreateSQLStatement(ENGHANDLE hConnect, ENGHANDLE *hStatement);
ENGRESULT EngPrepareSQL(ENGHANDLE hStatement, const char *sql);
/* *hCursor is 0 when the statement yields no cursor. */
ENGRESULT EngExecuteSQL(ENGHANDLE hStatement, ENGHANDLE *hCursor);
ENGRESULT EngExecuteSQLDirect(ENGHANDLE hStatement, const char *sql, ENGHANDLE *hCursor);
ENGRESULT EngCloseSQLStatement(ENGHANDLE hStatement);
/* Number of parameter markers; 0 for text without them, complete or not. */
ENGRESULT EngGetSQLStmtParams(const char *sql, uint16_t *count);
ENGRESULT EngStmtSetTableLockType(ENGHANDLE hStatement, uint16_t lockType);
ENGRESULT EngStmtSetTableCharType(ENGHANDLE hStatement, uint16_t charType);
ENGRESULT EngStmtSetTableRights(ENGHANDLE hStatement, uint16_t rights);
ENGRESULT EngStmtSetTableReadOnly(ENGHANDLE hStatement, uint16_t readOnly);
ENGRESULT EngStmtSetTableType(ENGHANDLE hStatement, uint16_t tableType);
ENGRESULT EngStmtConstrainUpdates(ENGHANDLE hStatement, uint16_t constrain);
ENGRESULT EngStmtReadAllColumns(ENGHANDLE hStatement, uint16_t readAll);
ENGRESULT EngStmtSetTablePassword(ENGHANDLE hStatement, const char *table, const char *password);

/* Transactions of a connection's SQL statements (the same as its BEGIN,
 * COMMIT and ROLLBACK statements): the INSERT, UPDATE and DELETE statements
 * that follow, on any of its tables, stand or fall together, also when the
 * process dies. A table changed in the transaction stays locked for other
 * users until it ends; statements and transactions wait for a locked table
 * at most the connection's lock wait (default 10,000 ms), then fail with
 * ENG_ERR_TABLE_LOCKED. A transaction belongs to the thread that began it;
 * closing the connection rolls it back. */
ENGRESULT EngBeginTransaction(ENGHANDLE hConnect);
ENGRESULT EngCommitTransaction(ENGHANDLE hConnect);
ENGRESULT EngRollbackTransaction(ENGHANDLE hConnect);
ENGRESULT EngInTransaction(ENGHANDLE hConnect, uint16_t *inTransaction);
ENGRESULT EngSetLockWait(ENGHANDLE hConnect, uint32_t milliseconds);

/* ---- Data dictionary ------------------------------------------------------ */

ENGRESULT EngDictCreate(const char *path, const char *adminUser, const char *adminPassword,
                        ENGHANDLE *hConnect);
ENGRESULT EngDictCreateUser(ENGHANDLE hConnect, const char *user, const char *password);
ENGRESULT EngDictAddTable(ENGHANDLE hConnect, const char *name, const char *file);
/* The connection's tables, one name per line, sorted: a dictionary's
 * registered tables, or a folder's table files (without ".adt"). *len: room
 * in, length out (ENG_ERR_BUFFER_TOO_SMALL with the length needed). */
ENGRESULT EngGetTableNames(ENGHANDLE hConnect, char *names, uint32_t *len);
ENGRESULT EngDictRemoveTable(ENGHANDLE hConnect, const char *name);
ENGRESULT EngDictGetTableProperty(ENGHANDLE hConnect, const char *table, uint16_t property,
                                  void *value, uint16_t *len);
ENGRESULT EngDictSetTableProperty(ENGHANDLE hConnect, const char *table, uint16_t property,
                                  const char *value);

/* ==== Combined cursor calls ===============================================
 * Each does the work of a sequence of the calls above with one handle
 * lookup and one handle lock, and fails as that sequence would at its first
 * failing step (same code and text). They exist so that a cursor walking or
 * editing a table pays for one call per step instead of several.
 *
 * "The record there" is what EngGetRecord and EngGetRecordNum give at the
 * position: on return *recno is its number and buffer holds it; *recno 0
 * means there is none there (no current record, or the record was deleted
 * meanwhile, or with ENG_READ_VISIBLE one that EngIsRecordVisible reports
 * hidden) and then buffer is left as it was. *len gives the room on entry
 * (the record length is needed, else ENG_ERR_BUFFER_TOO_SMALL before
 * anything is done) and the record length on return. */

/* Options. */
#define ENG_READ_VISIBLE 1 /* report only a record that EngIsRecordVisible shows */
#define ENG_POST_UNLOCK 2  /* EngPostEdit: unlock the record once it is written */
#define ENG_LOCK_GOTO 4    /* EngLockAndRead: EngGotoRecord to the record first */

/* EngSkip(h, records), then the record there. records 0 reads in place
 * without moving (and, unlike EngSkip by 0, writes no pending change). */
ENGRESULT EngSkipAndRead(ENGHANDLE h, int32_t records, uint16_t options, uint8_t *buffer, uint32_t *len,
                         uint32_t *recno);

/* EngLockRecord(hTable, lockRecno), then the record at the position. When
 * there is none the lock just taken is released again. With ENG_LOCK_GOTO
 * EngGotoRecord(hTable, lockRecno) comes first (and fails as it does). */
ENGRESULT EngLockAndRead(ENGHANDLE hTable, uint32_t lockRecno, uint16_t options, uint8_t *buffer, uint32_t *len,
                         uint32_t *recno);

/* A memo-like field's new content for EngPostEdit. */
typedef struct {
  uint16_t field;
  const uint8_t *value;
  uint32_t len;
} ENGFIELDTEXT;

/* Writes an edited record from its raw image: EngGotoRecord(hTable, recno);
 * then, from the highest field number down to 1 and skipping memo, binary,
 * image, varchar and autoincrement fields: a string field whose bytes in raw
 * are all blanks as EngSetEmpty, another string field as EngSetField with
 * its bytes and full length, any other field as EngSetFieldRaw with its
 * bytes; then EngSetField for each memo given, in order; EngWriteRecord;
 * with ENG_POST_UNLOCK EngUnlockRecord(hTable, recno); then the record
 * there (into out, *outLen, *recnoOut; a record that cannot be read after
 * the write counts as none). A failure leaves nothing pending on the handle
 * (as after EngCancelUpdate) and the record lock as it was. */
ENGRESULT EngPostEdit(ENGHANDLE hTable, uint32_t recno, const uint8_t *raw, uint32_t rawLen,
                      const ENGFIELDTEXT *memos, uint16_t memoCount, uint16_t options, uint8_t *out,
                      uint32_t *outLen, uint32_t *recnoOut);

/* Deletes a record of h's table: with deleteRecno 0 the current one, else
 * that one after EngGotoRecord(h, deleteRecno) (failing as that call does).
 * The deletion is as EngDeleteRecord and EngWriteRecord do it (when either
 * fails EngCancelUpdate follows, its result dropped, and the failure is
 * returned); then EngSkip(h, 1) and the record there. stamps, when given,
 * receives the change stamp (see EngGetChangeStamp) from before the
 * deletion and from right after it. */
ENGRESULT EngDeleteAndSkip(ENGHANDLE h, uint32_t deleteRecno, uint16_t options, uint8_t *buffer, uint32_t *len,
                           uint32_t *recno, uint64_t *stamps);

/* A number that changes whenever a record of h's table may have changed,
 * through any handle in any process; 0 (never given otherwise) while a
 * change is under way. Records read under one stamp are as the table holds
 * them while it stays the same. */
ENGRESULT EngGetChangeStamp(ENGHANDLE h, uint64_t *stamp);

/* For a caller that looks at the change stamp of one table very often (a
 * cursor taking records read ahead): the two shared words it is made of.
 * The stamp is 0 while *entries is not 0, else *sequence + 1, each word read
 * with acquire ordering (__atomic_load_n). The words stay valid, and keep
 * telling this table's changes, until h's table handle is closed. */
typedef struct {
  const uint64_t *sequence;
  const uint64_t *entries;
} ENGCHANGESOURCE;
ENGRESULT EngGetChangeStampSource(ENGHANDLE h, ENGCHANGESOURCE *source);

/* Reads ahead: EngSkipAndRead(h, step) repeated (step +1 or -1) while it
 * reads a record, at most *count times; the records go to consecutive slots of recordRoom
 * bytes (at least the record length) of buffers and their numbers to
 * recnos. fromRecno 0 starts at the position; another number starts from
 * that record, even one deleted since (as if it were still the position;
 * a pending change is written first, as by a move). On return *count is
 * the number read and *stamp the change stamp they were read under (0:
 * not to be vouched for). The first move fails as EngSkipAndRead does; a
 * later failure only ends the reading. The position is on the last record
 * read when *count records were read, else past the end in that
 * direction (or where a failed move left it). */
ENGRESULT EngSkipAndReadAhead(ENGHANDLE h, uint32_t fromRecno, int32_t step, uint16_t options, uint16_t *count,
                              uint8_t *buffers, uint32_t recordRoom, uint32_t *recnos, uint64_t *stamp);

/* ==== End of combined cursor calls ======================================== */

/* ==== Safe runs ===========================================================
 * What a caller needs to save tables before it changes them, to put them
 * back later, and to tell what a change did.
 *
 * A change hook, set per thread, is told of every table this thread is about
 * to change, before any byte of its files changes:
 *   ENG_CHANGE_TABLE       path names a table file (".adt") whose files (table,
 *                          memo, tags) are about to change or be removed: a
 *                          record written or deleted, a tag made or dropped,
 *                          zap, pack, encryption, ALTER TABLE (before it writes
 *                          anything beside the table), DROP TABLE. The hook
 *                          runs holding the table's lock, so the files it
 *                          sees are exactly the table before the change; it
 *                          must not call the engine on that table. It is
 *                          told once per table for as long as it stays set
 *                          (setting it again starts anew), give or take a
 *                          repeat when a table is loaded afresh.
 *   ENG_CHANGE_CREATE      path names a table file about to be created.
 *   ENG_CHANGE_DICTIONARY  path names a data dictionary file about to be
 *                          written (or created).
 * A hook that returns anything but ENG_OK refuses the change: the call that
 * would have made it fails with that code and the text the hook put into
 * message (room bytes, NUL included), and nothing changes. */
#define ENG_CHANGE_TABLE 1
#define ENG_CHANGE_CREATE 2
#define ENG_CHANGE_DICTIONARY 3
typedef ENGRESULT (*EngChangeHook)(void *context, uint16_t kind, const char *path, char *message, uint16_t room);
/* Sets the calling thread's hook (NULL: none). */
ENGRESULT EngSetChangeHook(EngChangeHook hook, void *context);

/* The identity and change stamp a table file carries in its header (both 0
 * in a file no change of this engine version has touched). Every change
 * gives the file a new stamp, so equal stamps mean the same table unchanged.
 * Reads the file alone, without opening the table. */
ENGRESULT EngGetTableStamp(const char *path, uint64_t *identity, uint64_t *stamp);

/* Puts a table's files back from copies of them (adt: the table file, memo
 * and tags: its companions, NULL or "" for a file the copy lacks), in one
 * journaled change: a crash or failure leaves the table as it was, success
 * leaves every file byte for byte as the copy, its stamp included. hTable
 * must be open exclusively; the call closes it (on failure too). A copy
 * with a tags file needs a table that has one. */
ENGRESULT EngRestoreTable(ENGHANDLE hTable, const char *adt, const char *memo, const char *tags);

/* Compares two tables record by record number (the password given to each
 * handle of an encrypted table). Their record numbers must still name the
 * same records: no pack or zap came between (the tables' generations are
 * the same), else *comparable is 0 and nothing is reported. With the same
 * fields, *comparable is 1 and the callback is called, in record number
 * order, for every number whose record was added (oldRaw NULL), deleted
 * (newRaw NULL) or changed (a field's bytes differ, or a memo-like field's
 * content), with the raw records; with other fields (ALTER TABLE keeps the
 * numbers), *comparable is 2 and the callback gets every number that holds
 * a record in either table, for the caller to compare field by field. A
 * nonzero return stops the walk. Each table's lock is held for a stretch
 * of records at a time, never while the callback runs. */
typedef int (*EngRecordDiffCallback)(void *context, uint32_t recno, const uint8_t *oldRaw, const uint8_t *newRaw);
ENGRESULT EngDiffRecords(ENGHANDLE hOld, ENGHANDLE hNew, EngRecordDiffCallback callback, void *context,
                         uint16_t *comparable);

/* ==== End of safe runs ==================================================== */

#ifdef __cplusplus
}
#endif

#endif /* ENGINE_H */

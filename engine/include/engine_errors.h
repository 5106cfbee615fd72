/*
 * Result codes of the embedded database engine.
 *
 * Every engine call returns ENG_OK (0) or one of these codes; EngGetLastError
 * gives the calling thread's last code together with a text that names the
 * table, field, record or path involved. Codes that the data access layer
 * tests by value keep the meaning its call sites expect; they are marked
 * "contract". 5121 is reserved for the data access layer's own errors and is
 * never returned by the engine.
 */
#ifndef ENGINE_ERRORS_H
#define ENGINE_ERRORS_H

#define ENG_OK 0

/* General failures. */
#define ENG_ERR_INTERNAL 5000           /* unexpected internal failure */
#define ENG_ERR_INVALID_ARGUMENT 5001   /* a null pointer or a value out of range */
#define ENG_ERR_INVALID_HANDLE 5002     /* no live handle of the expected kind */
#define ENG_ERR_BUFFER_TOO_SMALL 5005   /* output truncated; the length reports the size needed */
#define ENG_ERR_OUT_OF_MEMORY 5006
#define ENG_ERR_NOT_SUPPORTED 5007      /* valid request the engine does not offer */

/* Files and connections. */
#define ENG_ERR_FILE_NOT_FOUND 5010     /* table, companion or folder missing */
#define ENG_ERR_IO 5011                 /* the operating system refused a read or write; a full disk
                                           too: the text names the table, the operation and the
                                           file, and the table stays as it was */
#define ENG_ERR_CORRUPT 5012            /* a file is not a table of ours, is truncated or its header lies */
#define ENG_ERR_FILE_EXISTS 5013        /* creating a table that exists */
#define ENG_ERR_CONNECT 5014            /* connect string names nothing usable */
#define ENG_ERR_LOGIN 5015              /* dictionary user or password wrong */
#define ENG_ERR_DICTIONARY 5016         /* dictionary file unreadable or inconsistent */

/* Table definitions. */
#define ENG_ERR_INVALID_FIELD 5020      /* unknown field name or number */
#define ENG_ERR_INVALID_FIELD_DEF 5021  /* duplicate or invalid name, type or length */
#define ENG_ERR_NO_SUCH_RECORD 5022     /* contract: record number or bookmark names no live record */
#define ENG_ERR_INVALID_CONNECTION 5024 /* contract: connection handle already gone */
#define ENG_ERR_FIELD_TYPE 5026         /* operation does not apply to the field's type */
#define ENG_ERR_VALUE 5027              /* a value does not fit or convert */

/* Sharing and locks. */
#define ENG_ERR_TABLE_LOCKED 5030       /* table opened exclusively elsewhere, or open elsewhere when exclusive was asked,
                                           or on a network file system open in another process */
#define ENG_ERR_RECORD_LOCKED 5035      /* record locked by another handle */
#define ENG_ERR_NEEDS_EXCLUSIVE 5036    /* operation needs the table opened exclusively */
#define ENG_ERR_NO_FILTER 5037          /* contract: clearing a filter that is not set */
#define ENG_ERR_READ_ONLY 5038          /* write on a table or cursor opened read-only */

/* Expressions, filters and SQL. */
#define ENG_ERR_EXPRESSION 5040         /* expression does not parse or does not fit the table */
#define ENG_ERR_SQL_SYNTAX 5041         /* statement does not parse */
#define ENG_ERR_SQL_EXECUTE 5042        /* statement parsed but could not be carried out */
#define ENG_ERR_STATIC_CURSOR 5064      /* contract: lock or write refused on a static cursor */
#define ENG_ERR_NO_CURRENT_RECORD 5068  /* contract: no current record to act on */
#define ENG_ERR_NO_PENDING_UPDATE 5085  /* contract: cancel with no pending update */
#define ENG_ERR_STATEMENT_CLOSED 5106   /* contract: statement handle already closed */
#define ENG_ERR_NO_ROW_COUNT 5117       /* contract: statement produced no row count */

/* Indexes. */
#define ENG_ERR_INDEX_NOT_FOUND 5050    /* unknown tag name */
#define ENG_ERR_DUPLICATE_KEY 5051      /* write would put a second equal key into a unique tag */
#define ENG_ERR_KEY 5052                /* key buffer or seek arguments invalid */

/* Data dictionary. */
#define ENG_ERR_NOT_IN_DICTIONARY 5132  /* contract: table not registered in the dictionary */
#define ENG_ERR_NO_DEFAULT_INDEX 5138   /* contract: dictionary table has no default index */
#define ENG_ERR_COLUMN_NOT_FOUND 5147   /* contract: SQL names an unknown column: text holds column "NAME" */
#define ENG_ERR_COLUMN_TYPE 5148        /* contract: SQL column type mismatch: text holds column "NAME" */
#define ENG_ERR_COLUMN_VALUE 5149       /* contract: SQL value rejected for a column: text holds column "NAME" */

/* Encryption. */
#define ENG_ERR_ENCRYPTED 5060          /* record access on an encrypted table before EngEnableEncryption */
#define ENG_ERR_WRONG_PASSWORD 5061
#define ENG_ERR_TAMPERED 5062           /* authentication of encrypted data failed */

/* Statements that can no longer be used; the caller frees them. */
#define ENG_ERR_STATEMENT_UNUSABLE 7209

#define ENG_ERR_RESERVED_DATA_LAYER 5121 /* never returned by the engine */

#endif /* ENGINE_ERRORS_H */

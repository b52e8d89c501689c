// keywords.h - the words of the request document and their numbers.
#pragma once

typedef struct element_element_s {
    const char *name;  // null ends a table
    int type;
} element_element_t;

typedef struct element_attribute_s {
    const char *name;  // null ends a table
    int type;
} element_attribute_t;

// The end row's value in the tables of format, data, binary and direction
// words: what qx_keyword_lookup answers for a word they do not hold.
inline constexpr int QX_KEYWORD_UNKNOWN = -1;
// What qx_sqltypestr2id answers for a word that names no SQL type.
inline constexpr int QX_SQLTYPE_UNKNOWN = 9999;

extern const element_element_t format_type[];
extern const element_attribute_t data_type_attribute[];
extern const element_attribute_t binary_attribute[];
extern const element_attribute_t direction[];
extern const element_attribute_t sql_type[];

// Value of the first row named `word` (exact case), or the end row's type.
int qx_keyword_lookup(const element_attribute_t *table, const char *word);

// A Direction word as QX_DIRECTION_IN/OUT/INOUT; QX_DIRECTION_UNKNOWN when unknown.
int qx_directionstr2id(const char *str);
// The Direction word of a direction number; null when unknown.
const char *qx_directionid2str(int id);
// A Type word as its ODBC SQL type code; QX_SQLTYPE_UNKNOWN when unknown.
int qx_sqltypestr2id(const char *str);
// The Type word of an ODBC SQL type code (the first in table order); null
// when unknown.
const char *qx_sqltypeid2str(int id);

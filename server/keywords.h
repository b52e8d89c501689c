// keywords.h - the words of the request document and their numbers.
#pragma once

#include <string_view>

typedef struct element_element_s {
    const char *name;  // null ends a table
    int type;
} element_element_t;

typedef struct element_attribute_s {
    const char *name;  // null ends a table
    int type;
} element_attribute_t;

extern const element_element_t format_type[];
extern const element_attribute_t data_type_attribute[];
extern const element_attribute_t binary_attribute[];
extern const element_attribute_t direction[];
extern const element_attribute_t sql_type[];

// Value of the first row named `word` (exact case), or the end row's type.
int qx_keyword_lookup(const element_attribute_t *table, const char *word);

int qx_directionstr2id(const char *str);  // 0 when unknown
const char *qx_directionid2str(int id);   // null when unknown
int qx_sqltypestr2id(const char *str);    // 9999 when unknown
const char *qx_sqltypeid2str(int id);     // null when unknown

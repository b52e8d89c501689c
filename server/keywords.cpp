// keywords.cpp - keyword tables of the request document, searched in order
// with exact case.

#include "keywords.h"

#include <cstring>

const element_element_t format_type[] = {
    {"Short", 2}, {"Long", 1}, {"Standard", 1}, {"TableTags", 3}, {nullptr, -1},
};

const element_attribute_t data_type_attribute[] = {
    {"pcdata", 1}, {"cdata", 2}, {nullptr, -1},
};

const element_attribute_t binary_attribute[] = {
    {"sql", 1}, {"none", 2}, {"base64", 3}, {nullptr, -1},
};

const element_attribute_t direction[] = {
    {"In", 1}, {"Out", 2}, {"InOut", 3}, {nullptr, -1},
};

const element_attribute_t sql_type[] = {
    {"char", 1},      {"varchar", 12},  {"longvarchar", -1}, {"wchar", -8},
    {"wvarchar", -9}, {"decimal", 3},   {"numeric", 2},      {"bit", -7},
    {"tinyint", -6},  {"smallint", 5},  {"integer", 4},      {"bigint", -5},
    {"real", 7},      {"float", 6},     {"double", 8},       {"binary", -2},
    {"varbinary", -3}, {"date", 91},    {"time", 92},        {"timestamp", 93},
    {nullptr, 0},
};

namespace {

const element_attribute_t *find_word(const element_attribute_t *table, const char *word)
{
    for (; table->name != nullptr; table++)
        if (std::strcmp(table->name, word) == 0) return table;
    return table;  // the end row
}

const char *find_id(const element_attribute_t *table, int id)
{
    for (; table->name != nullptr; table++)
        if (table->type == id) return table->name;
    return nullptr;
}

}  // namespace

int qx_keyword_lookup(const element_attribute_t *table, const char *word)
{
    return find_word(table, word)->type;
}

int qx_directionstr2id(const char *str)
{
    const element_attribute_t *row = find_word(direction, str);
    return row->name != nullptr ? row->type : 0;
}

const char *qx_directionid2str(int id) { return find_id(direction, id); }

int qx_sqltypestr2id(const char *str)
{
    const element_attribute_t *row = find_word(sql_type, str);
    return row->name != nullptr ? row->type : 9999;
}

const char *qx_sqltypeid2str(int id) { return find_id(sql_type, id); }

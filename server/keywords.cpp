// keywords.cpp - keyword tables of the request document, searched in order
// with exact case.

#include "keywords.h"

#include <cstring>

#include <sqlext.h>

#include "quillet_defs.h"

// "Standard" is another word for the long layout.
constexpr element_element_t format_type[] = {
    {"Short", QX_FORMAT_SHORT},
    {"Long", QX_FORMAT_LONG},
    {"Standard", QX_FORMAT_LONG},
    {"TableTags", QX_FORMAT_TABLETAGS},
    {nullptr, QX_KEYWORD_UNKNOWN},
};

constexpr element_attribute_t data_type_attribute[] = {
    {"pcdata", QX_DATA_PCDATA},
    {"cdata", QX_DATA_CDATA},
    {nullptr, QX_KEYWORD_UNKNOWN},
};

constexpr element_attribute_t binary_attribute[] = {
    {"sql", QX_BINARY_SQL},
    {"none", QX_BINARY_NONE},
    {"base64", QX_BINARY_BASE64},
    {nullptr, QX_KEYWORD_UNKNOWN},
};

constexpr element_attribute_t direction[] = {
    {"In", QX_DIRECTION_IN},
    {"Out", QX_DIRECTION_OUT},
    {"InOut", QX_DIRECTION_INOUT},
    {nullptr, QX_KEYWORD_UNKNOWN},
};

constexpr element_attribute_t sql_type[] = {
    {"char", SQL_CHAR},         {"varchar", SQL_VARCHAR},     {"longvarchar", SQL_LONGVARCHAR},
    {"wchar", SQL_WCHAR},       {"wvarchar", SQL_WVARCHAR},   {"decimal", SQL_DECIMAL},
    {"numeric", SQL_NUMERIC},   {"bit", SQL_BIT},             {"tinyint", SQL_TINYINT},
    {"smallint", SQL_SMALLINT}, {"integer", SQL_INTEGER},     {"bigint", SQL_BIGINT},
    {"real", SQL_REAL},         {"float", SQL_FLOAT},         {"double", SQL_DOUBLE},
    {"binary", SQL_BINARY},     {"varbinary", SQL_VARBINARY}, {"date", SQL_TYPE_DATE},
    {"time", SQL_TYPE_TIME},    {"timestamp", SQL_TYPE_TIMESTAMP},
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
    return row->name != nullptr ? row->type : QX_DIRECTION_UNKNOWN;
}

const char *qx_directionid2str(int id) { return find_id(direction, id); }

int qx_sqltypestr2id(const char *str)
{
    const element_attribute_t *row = find_word(sql_type, str);
    return row->name != nullptr ? row->type : QX_SQLTYPE_UNKNOWN;
}

const char *qx_sqltypeid2str(int id) { return find_id(sql_type, id); }

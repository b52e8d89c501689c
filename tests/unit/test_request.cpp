// A request document in, the query record or the exact refusal out.

#include <cstdlib>

#include "parse.h"
#include "request.h"
#include "unit_support.h"

namespace {

// A wide string the reader made (ASCII here).
std::string narrow(const SQLWCHAR *w)
{
    std::string s;
    while (*w != 0) s += static_cast<char>(*w++);
    return s;
}

// A parameter as [type name null 'text' or bytes], beyond ASCII as \uXXXX.
std::string parameter(const sql_parameter_t &v)
{
    std::string s = "[" + std::to_string(v.type) + (v.name.empty() ? "" : " " + v.name) +
                    (v.is_null ? " null" : "");
    char unit[8];
    if (v.binary) {
        s += " b";
        for (const unsigned char c : v.bytes) std::snprintf(unit, sizeof unit, "%02x", c), s += unit;
    } else {
        s += " '";
        for (const SQLWCHAR w : v.text)
            if (w < 0x80)
                s += static_cast<char>(w);
            else
                std::snprintf(unit, sizeof unit, "\\u%04x", w), s += unit;
        s += "'";
    }
    return s + "]";
}

struct Read {
    diagstk_ptr d{diagstk_new()};
    query_t q{};
    int result;
    explicit Read(std::string doc)
    {
        quilletlog = 0;
        query_init(&q);
        io_in_t in = file_in(fmemopen(doc.data(), doc.size(), "r"));
        result = qx_get_request(d.get(), &in, &q);
        std::fclose(in.src.file.fp);
    }
    ~Read() { freeup_query(&q); }

    // Every field the reader sets but the style sheet, on one line.
    // Parameters read [index direction type length 'in_data'], format as
    // format/data_output_type/binary/flags.
    std::string fields() const
    {
        auto n = [](auto v) { return std::to_string(v); };
        std::string s = "cs=" + narrow(q.connect_string);
        if (q.sql) s += " sql=" + narrow(q.sql);
        for (auto *t = q.transaction; t; t = t->next)
            s += " tx" + n(t->sequence) + "=" + narrow(t->sql);
        if (q.procedure) s += " proc=" + std::string(q.procedure->name);
        for (auto *a = q.procedure ? q.procedure->parameters : nullptr; a; a = a->next)
            s += " [" + n(a->index) + " " + n(a->direction) + " " + n(a->type) + " " +
                 n(a->length) + (a->in_data ? " '" + std::string(a->in_data) + "'" : "") +
                 (a->out_data || a->data_len ? " out" : "") + "]";
        if (q.meta) s += " meta=" + n(q.meta);
        for (std::size_t i = 0; i < q.parameters.size(); i++) {
            const sql_parameters_t &p = q.parameters[i];
            s += " p" + n(i) + "(" + n(p.sets) + "x" + n(p.per_set) + ")";
            for (const sql_parameter_t &v : p.values) s += " " + parameter(v);
        }
        s += " fmt=" + n(q.format) + "/" + n(q.data_output_type) + "/" + n(q.binary) + "/" +
             n(q.flags);
        return s;
    }
};

const std::string CS = "<ConnectionString>DSN=a</ConnectionString>";

std::string req(const std::string &body) { return "<Request>" + body + "</Request>"; }

}  // namespace

TEST(RequestRead, AcceptedDocumentsFillTheRecord)
{
    const std::string proc = "<Procedure><ProcedureName>p</ProcedureName>", text = "SELECT ? ,?";
    auto sql = [&](const std::string &inside) { return req(CS + "<Sql>" + inside + "</Sql>"); };
    const struct { std::string doc, fields; } cases[] = {
        // Names match in any case; text inside a format element disqualifies it.
        {"<request><connectionstring>DSN=a</connectionstring><sql>S</sql><format><long>x</long>"
         "<tabletags/><data type=\"cdata\"/><truncatetrailingblanks/></format></request>",
         "cs=DSN=a sql=S fmt=3/2/1/1"},
        // Transaction over Sql over Procedure over Tables; an empty Sql is absent.
        {req(CS + "<Sql>S</Sql><Transaction><Sql>A</Sql><Sql>B</Sql></Transaction><Tables/>"),
         "cs=DSN=a tx1=A tx2=B fmt=1/1/1/0"},
        {req(CS + "<Transaction/><Sql>S</Sql>"), "cs=DSN=a fmt=1/1/1/0"},
        {req(CS + "<Sql/>" + proc + "</Procedure><Tables/>"), "cs=DSN=a proc=p fmt=1/1/1/0"},
        // Type char and Length 1024 by default; Length in C notation; an
        // Index without digits is 0; In without text sends "".
        {req(CS + proc + "<Parameter Index=\"1\" Direction=\"In\">v w</Parameter>"
                  "<Parameter Index=\"2\" Direction=\"Out\" Type=\"integer\">ignored</Parameter>"
                  "<Parameter index=\"x\" direction=\"InOut\" type=\"wvarchar\" length=\"0x10\">"
                  "io</Parameter>"
                  "<Parameter Index=\"4\" Direction=\"In\" Type=\"timestamp\" Length=\"010\"/>"
                  "</Procedure>"),
         "cs=DSN=a proc=p [1 1 1 1024 'v w'] [2 2 4 1024] [0 3 -9 16 'io'] [4 1 93 8 '']"
         " fmt=1/1/1/0"},
        // The Sql element's Parameter children bind the markers in document
        // order, directly or one ParameterSet at a time; others are ignored.
        {sql("S<Other>x</Other>"), "cs=DSN=a sql=S fmt=1/1/1/0"},
        // Type char by default, element names in any case; attribute
        // values exact; the text keeps its blanks, line break and markup.
        {sql("SELECT ?<Parameter> a\n&lt;b&gt; </Parameter>,?<parameter type=\"integer\""
             " Name=\"n\">3</parameter>;<Parameter Type=\"timestamp\"/>"),
         "cs=DSN=a sql=SELECT ?,?; p0(0x3) [1 ' a\n<b> '] [4 n '3'] [93 '']"
         " fmt=1/1/1/0"},
        // NULL whatever the text; "yes" only. Beyond U+FFFF a surrogate pair.
        {sql(text + "<Parameter isnull=\"yes\">x</Parameter><Parameter isnull=\"Yes\">"
                    "K\u00f6ln \U0001F600</Parameter>"),
         "cs=DSN=a sql=SELECT ? ,? p0(0x2) [1 null ''] [1 'K\\u00f6ln \\ud83d\\ude00']"
         " fmt=1/1/1/0"},
        {sql(text + "<Parameter Encoding=\"base64\" Type=\"varbinary\">AP8Q\nAA==</Parameter>"
                    "<Parameter Encoding=\"base64\" isnull=\"yes\">not base64</Parameter>"),
         "cs=DSN=a sql=SELECT ? ,? p0(0x2) [-3 b00ff1000] [1 null b] fmt=1/1/1/0"},
        {sql(text + "<ParameterSet><Parameter>1</Parameter><Parameter>a</Parameter>"
                    "</ParameterSet><parameterset><Parameter>2</Parameter><X/><Parameter/>"
                    "</parameterset>"),
         "cs=DSN=a sql=SELECT ? ,? p0(2x2) [1 '1'] [1 'a'] [1 '2'] [1 ''] fmt=1/1/1/0"},
        {sql("S<ParameterSet/><ParameterSet/>"), "cs=DSN=a sql=S p0(2x0) fmt=1/1/1/0"},
        // A transaction keeps one entry per statement once any has values.
        {req(CS + "<Transaction><Sql>A</Sql><Sql>B ?<Parameter>1</Parameter></Sql></Transaction>"),
         "cs=DSN=a tx1=A tx2=B ? p0(0x0) p1(0x1) [1 '1'] fmt=1/1/1/0"},
        {req(CS + "<Transaction><Sql>A</Sql><Sql>B</Sql></Transaction>"),
         "cs=DSN=a tx1=A tx2=B fmt=1/1/1/0"},
    };
    for (const auto &c : cases) {
        Read r(c.doc);
        EXPECT_EQ(r.result, 0) << c.doc;
        EXPECT_EQ(messages(r.d.get()), Msgs{}) << c.doc;
        EXPECT_EQ(r.fields(), c.fields) << c.doc;
    }
}

// Values given by name (a query string) replace the document's in every set.
TEST(RequestRead, NamedParametersTakeNewValues)
{
    Read r(req(CS + "<Sql>S<ParameterSet><Parameter Name=\"city\" isnull=\"yes\"/>"
                    "<Parameter Name=\"id\">1</Parameter><Parameter Name=\"raw\" "
                    "Encoding=\"base64\"/></ParameterSet><ParameterSet><Parameter Name=\"city\">"
                    "Bonn</Parameter><Parameter>2</Parameter><Parameter/></ParameterSet></Sql>"));
    ASSERT_EQ(r.result, 0);
    EXPECT_EQ(qx_set_named_parameter(r.d.get(), &r.q, "city", "K\u00f6ln"), 2);
    EXPECT_EQ(qx_set_named_parameter(r.d.get(), &r.q, "raw", "QUI="), 1);
    EXPECT_EQ(qx_set_named_parameter(r.d.get(), &r.q, "nosuch", "x"), 0);
    EXPECT_EQ(qx_set_named_parameter(r.d.get(), &r.q, "", "x"), 0);  // unnamed ones are not named ""
    EXPECT_EQ(messages(r.d.get()), Msgs{});
    EXPECT_EQ(r.fields(), "cs=DSN=a sql=S p0(2x3) [1 city 'K\\u00f6ln'] [1 id '1'] [1 raw b4142]"
                          " [1 city 'K\\u00f6ln'] [1 '2'] [1 ''] fmt=1/1/1/0");
    EXPECT_EQ(qx_set_named_parameter(r.d.get(), &r.q, "raw", "QUI"), -1);
    EXPECT_EQ(messages(r.d.get()), Msgs{"Parameter 3: invalid Base64 value"});
}

TEST(RequestRead, RefusalsPushOneExactMessage)
{
    const std::string GR = "qx_get_request: Request not understood - ",
                      PA = "get_procedure_args: ";
    auto param = [](const std::string &attrs) {
        return req(CS + "<Procedure><ProcedureName>p</ProcedureName>"
                        "<Parameter Index=\"1\" Direction=\"In\">ok</Parameter>"
                        "<Parameter " + attrs + ">v</Parameter></Procedure>");
    };
    auto format = [](const std::string &inside) {
        return req(CS + "<Tables/><Format>" + inside + "</Format>");
    };
    auto sql = [](const std::string &inside) { return req(CS + "<Sql>S" + inside + "</Sql>"); };
    const std::string set2 = "<ParameterSet><Parameter/><Parameter/></ParameterSet>";
    // A document that is not XML: test_pipe_file and test_protocol.
    const struct { std::string doc, message; } cases[] = {
        {req("<Sql>S</Sql>"), GR + "missing ConnectionString"},
        {req("<ConnectionString/><Sql>S</Sql>"), GR + "missing ConnectionString"},
        {req("<Environment>QX_UNIT_A=1</Environment><Environment/>" + CS + "<Sql>S</Sql>"),
         "Missing Environment data"},
        {req("<Environment>LD_PRELOAD=/tmp/m.so</Environment>" + CS + "<Sql>S</Sql>"),
         "Environment variable LD_PRELOAD is not allowed"},
        {req("<Environment>ODBCSYSINI</Environment>" + CS + "<Sql>S</Sql>"),
         "Environment variable ODBCSYSINI is not allowed"},
        {req("<DataSource>nosuch</DataSource><Sql>S</Sql>"), "Unknown data source \"nosuch\""},
        {req("<ConnectionString>Driver={/tmp/m.so}</ConnectionString><Sql>S</Sql>"),
         "Connection string refused - Driver must name a registered driver"},
        {req(CS + "<Sql/>"), GR + "missing Sql/Tables/Transaction/Procedure"},
        {req(CS + "<Transaction><Sql>A</Sql><Sql/></Transaction>"),
         "Missing SQL data in transaction"},
        {req(CS + "<Procedure/>"), PA + "Request not understood - missing ProcedureName"},
        {req(CS + "<Procedure><ProcedureName/></Procedure>"),
         PA + "Request not understood - missing ProcedureName"},
        {param("Direction=\"In\""), PA + "Missing Index for Parameter"},
        {param("Index=\"2\""), PA + "Missing Direction for Parameter"},
        {param("Index=\"2\" Direction=\"in\""), PA + "Invalid Direction \"in\" for Parameter"},
        {param("Index=\"2\" Direction=\"Out\" Type=\"Integer\""),
         PA + "Invalid value \"Integer\" for Parameter Type"},
        {param("Index=\"2\" Direction=\"In\" Length=\"\""), PA + "Empty Parameter Length"},
        {param("Index=\"2\" Direction=\"In\" Length=\"12abc\""),
         PA + "Invalid Length \"12abc\" for Parameter"},
        {format("<Long>yes</Long><TruncateTrailingBlanks/>"), GR + "Format not known"},
        {format("<Long/><Standard/>"), "Multiple Format subelement - Standard\n"},
        {format("<Short/><Data Type=\"CDATA\"/>"), GR + "Data Type attribute not known"},
        {format("<Short/><Binary Output=\"Base64\"/>"), GR + "Binary attribute not known"},
        {req(CS + "<Tables/><StyleSheet><Type>t</Type></StyleSheet>"),
         GR + "missing StyleSheet name"},
        {req(CS + "<Tables/><StyleSheet><Name>n</Name><Type/></StyleSheet>"),
         GR + "missing StyleSheet type"},
        // Statement parameters; the number is the marker's, counted within the set.
        {sql("<Parameter/><Parameter Type=\"Integer\"/>"),
         "get_sql_parameters: Invalid value \"Integer\" for Parameter Type"},
        {sql("<ParameterSet><Parameter Type=\"\"/></ParameterSet>"),
         "get_sql_parameters: Invalid value \"\" for Parameter Type"},
        {sql("<Parameter Encoding=\"hex\">00</Parameter>"),
         "get_sql_parameters: Invalid Encoding \"hex\" for Parameter"},
        {sql("<Parameter/><Parameter Encoding=\"base64\">AP8</Parameter>"),
         "Parameter 2: invalid Base64 value"},
        {sql(set2 + "<ParameterSet><Parameter Encoding=\"base64\">*</Parameter></ParameterSet>"),
         "Parameter 1: invalid Base64 value"},
        {sql(set2 + "<ParameterSet><Parameter/></ParameterSet>" + set2),
         "Parameter sets must all have 2 parameters"},
        {sql("<ParameterSet/>" + set2), "Parameter sets must all have 0 parameters"},
        {sql(set2 + "<Parameter/>"),
         "get_sql_parameters: Parameter and ParameterSet elements cannot be mixed in one Sql"},
        {sql("<Parameter/>" + set2),
         "get_sql_parameters: Parameter and ParameterSet elements cannot be mixed in one Sql"},
        {req(CS + "<Transaction><Sql>A</Sql><Sql>B<Parameter Type=\"x\"/></Sql></Transaction>"),
         "get_sql_parameters: Invalid value \"x\" for Parameter Type"},
    };
    for (const auto &c : cases) {
        Read r(c.doc);  // what was read before the refusal is freed with the record
        EXPECT_EQ(r.result, -1) << c.doc;
        EXPECT_EQ(messages(r.d.get()), Msgs{c.message}) << c.doc;
    }
    unsetenv("QX_UNIT_A");
}

// Entries are copied: the tree holding their text is freed after reading.
TEST(RequestRead, EnvironmentOutlivesTheRequest)
{
    setenv("QX_UNIT_GONE", "x", 1);
    const std::string doc = req("<Environment>QX_UNIT_SET=a=b c</Environment>"
                                "<environment>QX_UNIT_GONE</environment>" + CS + "<Tables/>");
    ASSERT_EQ(Read(doc).result, 0);
    Read later(req(CS + "<Sql>" + std::string(200, 'x') + "</Sql>"));  // reuses freed memory
    EXPECT_STREQ(std::getenv("QX_UNIT_SET"), "a=b c");
    EXPECT_EQ(std::getenv("QX_UNIT_GONE"), nullptr);
    unsetenv("QX_UNIT_SET");
}

// A refused request sets no entry: they are set once all else is read.
TEST(RequestRead, RefusedRequestSetsNoEnvironment)
{
    unsetenv("QX_UNIT_B");
    setenv("QX_UNIT_C", "kept", 1);
    for (const std::string &rest : {CS + "<Sql/>", std::string("<DataSource>nosuch</DataSource><Tables/>"),
                                    "<Environment>LD_AUDIT=x</Environment>" + CS + "<Tables/>"}) {
        ASSERT_EQ(Read(req("<Environment>QX_UNIT_B=1</Environment><Environment>QX_UNIT_C"
                           "</Environment>" + rest)).result, -1) << rest;
        EXPECT_EQ(std::getenv("QX_UNIT_B"), nullptr) << rest;
        EXPECT_STREQ(std::getenv("QX_UNIT_C"), "kept") << rest;
    }
    unsetenv("QX_UNIT_C");
}

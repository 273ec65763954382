// Database statements without a server: the server text and markers made
// from SQL texts in each marker style, the parameter texts of values, and
// the bytes of the query frames, read from a stand-in client library.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "db/db.h"
#include "db/query.h"
#include "db/query_frames.h"
#include "db/sql_statement.h"
#include "eval/eval.h"
#include "eval/handlers.h"
#include "parser/node_kinds.h"
#include "front/items.h"
#include "host/journal.h"
#include "parser/declarations.h"
#include "parser/expressions.h"
#include "parser/module_table.h"
#include "parser/nodes.h"
#include "parser/parser.h"
#include "runtime_fixture.h"

namespace kova {
namespace {

// A connection record of the given marker style with a handle that is
// never used (the statement object only copies it).
Value fake_connection(char marker, bool numbered) {
    uint8_t* record = nullptr;
    const uint32_t reference = area_alloc(CONNECTION_RECORD_SIZE, &record);
    std::memset(record, 0, CONNECTION_RECORD_SIZE);
    record[0] = make_header(TAG_CONNECTION, 0);
    record[CONNECTION_MARKER_OFFSET] = static_cast<uint8_t>(marker);
    record[CONNECTION_NUMBERED_OFFSET] = numbered ? 1 : 0;
    const Value connection = make_value(TAG_CONNECTION, reference);
    static int handle_stand_in;
    set_connection_handle(connection, &handle_stand_in);
    return connection;
}

class DbTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_runtime("t.js");
        declarations_reset();
        expressions_reset();
        stop_table_init();
        areas_enter_run_mode();
        eval_reset();
        db_reset();
    }
    void TearDown() override { db_reset(); }

    // The server text and the marker kinds of a statement.
    static std::string build(const std::string& sql, bool query, char marker = '$', bool numbered = true,
                             std::string* kinds = nullptr) {
        SqlStatement s;
        build_statement(s, fake_connection(marker, numbered), sql.data(), sql.size(), query);
        if (kinds != nullptr) {
            kinds->clear();
            for (uint32_t i = 0; i < s.marker_count; ++i) kinds->push_back(static_cast<char>(s.kinds[i]));
        }
        return std::string(s.text, s.length);
    }

    // The code of the error a statement's text raises, with its text.
    static int error_of(const std::string& sql, bool query, std::string* text = nullptr) {
        try {
            build(sql, query);
        } catch (const ScriptUnwind&) {
            if (text != nullptr) *text = std::string(g_errors.text, g_errors.text_length);
            const std::string all(g_errors.text, g_errors.text_length);
            const size_t at = all.find("ERROR ");
            return at == std::string::npos ? -1 : std::atoi(all.c_str() + at + 6);
        }
        return 0;
    }
};

TEST_F(DbTest, ServerTextTakesTheConnectionsMarkerStyle) {
    const std::string sql = "select  :a ,\n\t:{1 + 2}  from t where x = :b_2 ";
    std::string kinds;
    EXPECT_EQ(build(sql, true, '$', true, &kinds), "select $1 , $2 from t where x = $3 ");
    EXPECT_EQ(kinds, "NEN");
    EXPECT_EQ(build(sql, true, ':', true), "select :1 , :2 from t where x = :3 ");
    EXPECT_EQ(build(sql, true, '?', false), "select ? , ? from t where x = ? ");
    EXPECT_EQ(build("update t set a = :2 where b = :1 and c = :x", false, '$', true, &kinds),
              "update t set a = $1 where b = $2 and c = $3");
    EXPECT_EQ(kinds, "AAN");
}

TEST_F(DbTest, ColonsInQuotesCastsAndEscapesAreText) {
    const struct {
        const char* sql;
        const char* server;
    } cases[] = {
        {"select a::int4, 'x:y', \"c:d\", `e:f`", "select a::int4, 'x:y', \"c:d\", `e:f`"},
        {"select E'it\\'s :g' || :h", "select E'it\\'s :g' || $1"},
        {"select \\:x", "select \\:x"},
        {"select 'a  \n  b'", "select 'a b'"},
        {"\n\t  select\t\t1", "select 1"},
        {"select :{'}'}", "select $1"},
        {"select 'open :x", "select 'open :x"},
    };
    for (const auto& c : cases) EXPECT_EQ(build(c.sql, true), c.server) << c.sql;
}

TEST_F(DbTest, FirstWordAndMarkerErrors) {
    std::string text;
    EXPECT_EQ(error_of("select 1", false, &text), 1350);
    EXPECT_NE(text.find("SQL文不正(関数/select)"), std::string::npos) << text;
    EXPECT_EQ(error_of("update t", true), 1350);
    EXPECT_EQ(error_of("", false), 1350);  // the empty word is a leading part of "select"
    EXPECT_EQ(error_of("SEL", true), 0);
    EXPECT_EQ(error_of("selects", true), 1350);
    EXPECT_EQ(error_of("select : a", true, &text), 1350);
    EXPECT_NE(text.find("バインドの記述不正"), std::string::npos) << text;
    EXPECT_EQ(error_of("select :", true), 1350);
    EXPECT_EQ(error_of("update t set a = :0", false, &text), 1350);
    EXPECT_NE(text.find("バインド番号不正。1～256でない"), std::string::npos) << text;
    EXPECT_EQ(error_of("update t set a = :256", false), 1350);
    EXPECT_EQ(error_of("update t set a = :99999999999999", false), 1350);
    EXPECT_EQ(error_of("update t set a = :255", false), 0);
    EXPECT_EQ(error_of("select :" + std::string(200, 'n'), true), 0);
    EXPECT_EQ(error_of("select :" + std::string(201, 'n'), true), 1005);
    EXPECT_EQ(error_of(std::string(201, 's'), true), 1005);
    EXPECT_EQ(error_of("select :{1 + 2", true), 1130);
    EXPECT_EQ(error_of("select :{1; 2}", true), 1135);

    std::string many = "select :a";
    for (int i = 2; i <= 255; ++i) many += ",:a";
    EXPECT_EQ(error_of(many, true), 0);
    EXPECT_EQ(error_of(many + ",:a", true, &text), 1350);
    EXPECT_NE(text.find("バインド数不正。256以上"), std::string::npos) << text;
}

TEST_F(DbTest, ParameterTextsOfValues) {
    ParameterTexts texts;
    const Value values[] = {new_integer(-5), new_float(1.25), new_float(3.0), make_value(TAG_NAME, NAME_NULL),
                            make_value(TAG_NAME, NAME_UNDEFINED), new_string("it's", 4)};
    const char* expected[] = {"-5", "1.25", "3.0", "null", "undefined", "it's"};
    for (Value v : values) texts.add(v);
    ASSERT_EQ(texts.count(), 6u);
    for (uint32_t i = 0; i < 6; ++i) {
        EXPECT_STREQ(texts.text(i), expected[i]);
        EXPECT_EQ(texts.length(i), static_cast<int>(std::strlen(expected[i])));
    }
    const Value array = new_array(values, 1);
    EXPECT_THROW(texts.add(array), ScriptUnwind);
    EXPECT_NE(std::string(g_errors.text).find("1355"), std::string::npos);
}

TEST_F(DbTest, ParameterTextsGrowPastTheirFirstBuffers) {
    ParameterTexts texts;
    const std::string long_text(5000, 'x');
    const Value big = new_string(long_text.data(), long_text.size());
    for (int i = 0; i < 300; ++i) texts.add(i % 100 == 0 ? big : new_integer(i));
    ASSERT_EQ(texts.count(), 300u);
    EXPECT_EQ(std::string(texts.text(0)), long_text);
    EXPECT_STREQ(texts.text(299), "299");
    EXPECT_EQ(std::string(texts.text(200)), long_text);
    EXPECT_STREQ(texts.text(150), "150");
}

// ---- prepared statement numbers ---------------------------------------------------

std::vector<std::string> g_commands;
PgResult* record_exec(PgConnection*, const char* command) {
    g_commands.emplace_back(command);
    return nullptr;
}
void ignore_clear(PgResult*) {}

TEST_F(DbTest, StatementNumbersStartOverAfter65535AndDropTheOldStatements) {
    g_db.client.exec = record_exec;
    g_db.client.clear = ignore_clear;
    g_commands.clear();
    g_db.connections[2] = fake_connection('$', true);
    g_db.open_count = 1;
    EXPECT_EQ(next_statement_number(), 1u);
    g_db.statement_counter = 65534;
    EXPECT_EQ(next_statement_number(), 65535u);
    EXPECT_TRUE(g_commands.empty());
    EXPECT_EQ(next_statement_number(), 0u);
    EXPECT_EQ(g_commands, std::vector<std::string>{"DEALLOCATE ALL"});
    EXPECT_EQ(next_statement_number(), 1u);
    EXPECT_EQ(g_commands.size(), 1u);
}

// ---- connecting through a stand-in library ------------------------------------------

int g_handle_stand_in;
int g_result_stand_in;
int g_finished;
PgConnection* fake_setdb_login(const char* host, const char* port, const char*, const char*, const char* database,
                               const char* login, const char* password) {
    g_commands.push_back(std::string("login ") + host + " " + port + " " + database + " " + login + " " + password);
    return &g_handle_stand_in;
}
int fake_status(const PgConnection*) { return PG_CONNECTION_OK; }
int fake_client_encoding(const PgConnection*) { return 6; }
const char* fake_encoding_name(int) { return "UTF8"; }
PgResult* fake_exec(PgConnection*, const char* command) {
    g_commands.emplace_back(command);
    return &g_result_stand_in;
}
// Every command succeeds except the opening of the transaction.
int fake_result_status(const PgResult*) { return g_commands.back() == "BEGIN TRANSACTION" ? 7 : PG_COMMAND_OK; }
char* fake_begin_message(const PgConnection*) { return const_cast<char*>("refused\n"); }
void fake_finish(PgConnection*) { ++g_finished; }

TEST_F(DbTest, AFailedBeginLeavesTheConnectionListedUntilTheEndOfTheRun) {
    ClientLibrary& c = g_db.client;
    c.setdb_login = fake_setdb_login;
    c.status = fake_status;
    c.client_encoding = fake_client_encoding;
    c.encoding_to_char = fake_encoding_name;
    c.exec = fake_exec;
    c.result_status = fake_result_status;
    c.error_message = fake_begin_message;
    c.clear = ignore_clear;
    c.finish = fake_finish;
    g_commands.clear();
    g_finished = 0;

    const char* texts[] = {"PostgreSQL", "ignored once bound", " HOST = h ;timeout=5;port=1; DB=d;user=u;pwd=p;x"};
    Value operands[3];
    for (int i = 0; i < 3; ++i) operands[i] = new_string(texts[i], std::strlen(texts[i]));
    const Value node = make_node(NODE_OPEN_DB, 3, operands, 0);
    EXPECT_THROW(eval_open_db(node), ScriptUnwind);
    EXPECT_NE(std::string(g_errors.text).find("4127"), std::string::npos);
    EXPECT_NE(std::string(g_errors.text).find("begin transaction(refused\n)"), std::string::npos) << g_errors.text;
    EXPECT_EQ(g_db.open_count, 1u);
    EXPECT_EQ(g_finished, 0);

    db_end_of_run();
    EXPECT_EQ(g_db.open_count, 0u);
    EXPECT_EQ(g_finished, 1);
    EXPECT_EQ(g_commands, (std::vector<std::string>{"login h 1 d u p", "BEGIN TRANSACTION", "rollback"}));
}

// ---- query frames from a stand-in library ---------------------------------------

struct FakeResult {
    int rows;
    int columns;
    const char* names[4];
    unsigned types[4];
    const char* cells[4][4];  // null: SQL NULL
};

const FakeResult* fake(const PgResult* r) { return static_cast<const FakeResult*>(r); }
int fake_ntuples(const PgResult* r) { return fake(r)->rows; }
int fake_nfields(const PgResult* r) { return fake(r)->columns; }
char* fake_fname(const PgResult* r, int k) { return const_cast<char*>(fake(r)->names[k]); }
unsigned fake_ftype(const PgResult* r, int k) { return fake(r)->types[k]; }
char* fake_getvalue(const PgResult* r, int row, int k) {
    const char* cell = fake(r)->cells[row][k];
    return const_cast<char*>(cell != nullptr ? cell : "");
}
int fake_getlength(const PgResult* r, int row, int k) {
    const char* cell = fake(r)->cells[row][k];
    return cell != nullptr ? static_cast<int>(std::strlen(cell)) : 0;
}
int fake_getisnull(const PgResult* r, int row, int k) { return fake(r)->cells[row][k] == nullptr; }
void fake_clear(PgResult*) {}
char* fake_error_message(const PgConnection*) { return const_cast<char*>("no name"); }

class QueryFrameTest : public DbTest {
protected:
    void SetUp() override {
        DbTest::SetUp();
        g_db.client.ntuples = fake_ntuples;
        g_db.client.nfields = fake_nfields;
        g_db.client.fname = fake_fname;
        g_db.client.ftype = fake_ftype;
        g_db.client.getvalue = fake_getvalue;
        g_db.client.getlength = fake_getlength;
        g_db.client.getisnull = fake_getisnull;
        g_db.client.clear = fake_clear;
        g_db.client.error_message = fake_error_message;
    }

    static std::string frame(FakeResult& r, bool keyed, const char* name) {
        QueryResult q;
        q.result.reset(&r);
        q.rows = r.rows;
        q.columns = r.columns;
        for (int k = 0; k < r.columns; ++k) {
            q.types[k] = r.types[k] == PG_TYPE_INT4     ? COLUMN_INTEGER
                         : r.types[k] == PG_TYPE_FLOAT4 ? COLUMN_FLOAT
                                                        : COLUMN_TEXT;
        }
        std::string item;
        append_text_item(item, name, std::strlen(name));
        std::string out;
        append_query_frame(out, keyed, item, q, nullptr);
        return out;
    }
};

TEST_F(QueryFrameTest, OneIntegerColumnWithANull) {
    FakeResult r{2, 1, {"n"}, {PG_TYPE_INT4}, {{"1"}, {nullptr}}};
    EXPECT_EQ(frame(r, false, "q"), "Z1112" "11q" "O1" "10");
}

TEST_F(QueryFrameTest, ColumnsOfEveryTypeAndTheKeyedForm) {
    FakeResult r{2,
                 3,
                 {"id", "price", "label"},
                 {PG_TYPE_INT4, PG_TYPE_FLOAT4, 25},
                 {{"-42", "1.5", "a b"}, {"7", nullptr, "h\xC3\xA9"}}};
    const std::string values = "Q-42" "d1.5" "B5a%20b" "O7" "10" "B7h%C3%A9";
    EXPECT_EQ(frame(r, false, "rows"), "Z1312" "14rows" + values);
    EXPECT_EQ(frame(r, true, "rows"), "Y1312" "14rows" "12id" "15price" "15label" + values);
}

TEST_F(QueryFrameTest, NoRows) {
    FakeResult r{0, 2, {"a", "b"}, {25, 25}, {}};
    EXPECT_EQ(frame(r, false, ""), "Z1210" "10");
    EXPECT_EQ(frame(r, true, ""), "Y1210" "10" "11a" "11b");
}

TEST_F(QueryFrameTest, AMissingColumnNameRaises4175) {
    FakeResult r{0, 1, {nullptr}, {25}, {}};
    EXPECT_THROW(frame(r, true, "q"), ScriptUnwind);
    EXPECT_NE(std::string(g_errors.text).find("4175"), std::string::npos);
    EXPECT_NE(std::string(g_errors.text).find("pgsql:PQfname(no name)"), std::string::npos);
}

}  // namespace
}  // namespace kova

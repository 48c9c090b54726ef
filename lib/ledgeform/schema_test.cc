// The schema language: scanner, parser, messages, includes, relations and
// their layout, and loading schemas into databases.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "ledgeform_testing.h"

namespace {

using ledgeform_testing::at;
using ledgeform_testing::DatabaseTest;
using testing::HasSubstr;
using testsupport::write_file;

// A schema compiled from text, freed with the test.
class SchemaTest : public DatabaseTest {
  protected:
    void TearDown() override {
        dbfree_schema(schema_);
        DatabaseTest::TearDown();
    }
    int compile(const std::string &text, const char *label = "text") {
        if (schema_ == nullptr) schema_ = new_schema();
        return compile_schema(schema_, -1, text.c_str(), path("db").c_str(), label);
    }
    Relation *relation(const char *name) { return ledgeform::relation_named(schema_, name); }
    Attribute *attribute(const char *name) {
        return static_cast<Attribute *>(getarr(schema_->attributes, name));
    }
    static int offset(Relation *r, int field) { return ledgeform::field_at(r, field)->offset; }

    Schema *schema_ = nullptr;
};

const char kAB[] =
    "Attribute a Integer ( 8 ) Format ( \"%8d\" ) Null ( \"-1\" ) ;\n"
    "Attribute b String ( 15 ) Format ( \"%-15s\" ) Null ( \"-\" ) ;\n";

TEST_F(SchemaTest, AttributesTakeTypeSizeAndTexts) {
    ASSERT_EQ(compile(std::string(kAB) +
                      "Attribute t Time (17) Units (\"s\") Range (\"t > 0\") "
                      "Description (\"a time\") Detail { the\n  detail } ;"),
              0);
    Attribute *a = attribute("a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->type, dbINTEGER);
    EXPECT_EQ(a->size, 8);
    EXPECT_STREQ(a->format, "%8d");
    EXPECT_STREQ(a->null, "-1");
    EXPECT_EQ(a->added, 1);
    EXPECT_EQ(a->id, 0);
    Attribute *t = attribute("t");
    EXPECT_EQ(t->type, dbTIME);
    EXPECT_STREQ(t->units, "s");
    EXPECT_STREQ(t->range, "t > 0");
    EXPECT_STREQ(t->description, "a time");
    EXPECT_STREQ(t->detail, "the\n detail ");
    EXPECT_EQ(schema_->nattributes, 3);
}

TEST_F(SchemaTest, FieldOffsetsAndRecordSizes) {
    ASSERT_EQ(compile(std::string(kAB) +
                      "Relation r Fields ( a b ) ;\n"
                      "Relation q Fields ( a b ) Separator ( \"\" ) ;\n"
                      "Relation p Fields ( a b ) Separator ( \",\" \"\" ) ;\n"),
              0);
    Relation *r = relation("r");
    EXPECT_EQ(offset(r, 0), 0);
    EXPECT_EQ(offset(r, 1), 9);
    EXPECT_EQ(r->size, 25);
    EXPECT_EQ(r->ndata, 2);
    EXPECT_EQ(r->nbases, 1);  // the relation itself
    EXPECT_EQ(r->nfields, 3);
    Relation *q = relation("q");
    EXPECT_EQ(offset(q, 0), 0);
    EXPECT_EQ(offset(q, 1), 8);
    EXPECT_EQ(q->size, 24);
    EXPECT_EQ(q->separator, 0);
    EXPECT_EQ(q->terminator, '\n');
    Relation *p = relation("p");
    EXPECT_EQ(p->size, 24);  // the comma, no terminator
    EXPECT_EQ(p->separator, ',');
    EXPECT_EQ(p->terminator, 0);
}

TEST_F(SchemaTest, ViewsHoldOneSlotPerBaseTable) {
    ASSERT_EQ(compile(std::string(kAB) +
                      "Relation r Fields ( a ) ;\n"
                      "Relation s Fields ( a b ) ;\n"
                      "Relation v Fields ( r s ) ;\n"
                      "Relation m Fields ( r s ) Transient ;\n"
                      "Relation w Fields ( v ) Separator ( \",\" \"\" ) ;\n"),
              0);
    Relation *v = relation("v");
    EXPECT_EQ(v->is_view, 1);
    EXPECT_EQ(v->has_fields, 0);
    EXPECT_EQ(v->nbases, 2);
    EXPECT_EQ(v->ndata, 3);
    EXPECT_EQ(v->nfields, 5);
    auto *r0 = static_cast<Relref *>(gettbl(v->relrefs, 0));
    auto *r1 = static_cast<Relref *>(gettbl(v->relrefs, 1));
    EXPECT_EQ(r0->offset, 0);
    EXPECT_EQ(r1->offset, 16);
    EXPECT_EQ(r1->first, 1);
    EXPECT_EQ(v->size, 33);  // slots, then the terminator
    EXPECT_EQ(relation("m")->size, 32);
    EXPECT_EQ(relation("w")->size, 32);  // the last slot whole, no terminator
    EXPECT_NE(getarr(v->field_index, "r"), nullptr);
    EXPECT_NE(getarr(v->field_index, "s"), nullptr);
    EXPECT_EQ(ledgeform::field_id_by_name(v, "b"), 2);
    EXPECT_EQ(ledgeform::field_id_by_name(v, "s.a"), 1);
    EXPECT_EQ(ledgeform::field_id_by_name(v, "r.a"), 0);
    EXPECT_EQ(ledgeform::field_id_by_name(v, "s"), 4);
    EXPECT_STREQ(static_cast<char *>(gettbl(v->base_names, 1)), "s");
}

TEST_F(SchemaTest, RepeatedAttributesMustAgree) {
    ASSERT_EQ(compile(std::string(kAB) + kAB), 0);
    EXPECT_EQ(schema_->nattributes, 2);
    EXPECT_NE(compile("Schema x ; Attribute a Integer ( 9 ) Format ( \"%8d\" ) Null ( \"-1\" ) "
                      "Detail { d } ;"),
              0);
    EXPECT_THAT(log(), HasSubstr("sizes differ: 9 != 8\n"));
    EXPECT_THAT(log(), HasSubstr("details differ:\n'd '\n   !=\n''\n"));
    EXPECT_THAT(log(), HasSubstr("conflicting Attribute a in schema x\n"));
    EXPECT_THAT(log(), HasSubstr("db : bad attribute at ';' while compiling attribute 'a'"));
    EXPECT_EQ(attribute("a")->size, 8);
}

TEST_F(SchemaTest, RelationMistakesAreReported) {
    EXPECT_NE(compile(std::string(kAB) + "Schema s ;\nRelation r Fields ( a zz a ) Defines q ;"), 0);
    EXPECT_THAT(log(), HasSubstr("Attribute zz in relation r not found\n"));
    EXPECT_THAT(log(), HasSubstr("Field a used more than once in relation r\n"));
    EXPECT_THAT(log(), HasSubstr("Defines field q is not a field in relation r\n"));
    EXPECT_THAT(log(), HasSubstr("db : bad relation at ';' while compiling relation 'r'"));
    clear_log();
    EXPECT_EQ(compile("Relation r Fields ( b ) ;"), 0);
    EXPECT_THAT(log(), HasSubstr("Duplicate relation r in schema s\n"));
    EXPECT_EQ(relation("r")->ndata, 1);
    EXPECT_EQ(schema_->nrelations, 2);
    EXPECT_NE(compile("Relation l Like nosuch ;"), 0);
    EXPECT_THAT(log(), HasSubstr("Can't find relation nosuch to make like relation l\n"));
    EXPECT_EQ(relation("l"), nullptr);
}

TEST_F(SchemaTest, RelationsHoldAtMost1024Fields) {
    // Fields x0.a, x1.a ... of the one attribute a; views of views, each
    // twice the one before (v0 holds a and its slot, v9 512 slots and 512
    // fields).
    auto fields = [](int n) {
        std::string text = "Attribute a Integer ( 8 ) ;\nRelation t Fields (";
        for (int i = 0; i < n; i++) text += " x" + std::to_string(i) + ".a";
        return text + " ) ;\n";
    };
    auto views = [](int n) {
        std::string text = "Attribute a Integer ( 8 ) ;\nRelation v0 Fields ( a ) ;\n";
        for (int i = 1; i <= n; i++)
            text += "Relation v" + std::to_string(i) + " Fields ( v" + std::to_string(i - 1) +
                    " v" + std::to_string(i - 1) + " ) ;\n";
        return text;
    };
    struct Case {
        std::string text;
        const char *relation;
        int nfields;  // 0: refused
    } cases[] = {
        {fields(1023), "t", 1024},
        {fields(1024), "t", 0},
        {views(9), "v9", 1024},
        {views(10), "v10", 0},
        {views(12), "v12", 0},
    };
    for (const Case &c : cases) {
        dbfree_schema(schema_);
        schema_ = nullptr;
        clear_log();
        int result = compile(c.text);
        if (c.nfields > 0) {
            EXPECT_EQ(result, 0) << c.relation;
            ASSERT_NE(relation(c.relation), nullptr) << c.relation;
            EXPECT_EQ(relation(c.relation)->nfields, c.nfields) << c.relation;
            EXPECT_EQ(log(), "") << c.relation;
        } else {
            EXPECT_NE(result, 0) << c.relation;
            EXPECT_THAT(log(), HasSubstr(std::string("Relation ") + c.relation +
                                         " would have more than 1024 fields\n"))
                << c.relation;
            ASSERT_NE(relation(c.relation), nullptr) << c.relation;
            EXPECT_LE(relation(c.relation)->nfields, 1024) << c.relation;
        }
    }
}

TEST_F(SchemaTest, LikeCopiesLayoutAndKeys) {
    ASSERT_EQ(compile(std::string(kAB) +
                      "Relation m Fields ( a b ) Primary ( a ) Alternate ( b ) Separator ( \",\" ) "
                      "Transient Defines a ;\n"
                      "Relation l Like m Description ( \"like m\" ) ;\n"
                      "Relation Anonymous Fields ( a ) ;\n"),
              0);
    Relation *l = relation("l");
    ASSERT_NE(l, nullptr);
    EXPECT_STREQ(l->like, "m");
    EXPECT_EQ(l->size, relation("m")->size);
    EXPECT_EQ(l->separator, ',');
    EXPECT_EQ(l->transient, 1);
    EXPECT_EQ(l->defines, nullptr);
    EXPECT_STREQ(static_cast<char *>(gettbl(l->primary, 0)), "a");
    EXPECT_STREQ(attribute("a")->defined_by, "m");
    EXPECT_STREQ(static_cast<char *>(getarr(schema_->defines, "a")), "m");
    EXPECT_NE(relation("View2"), nullptr);
}

TEST_F(SchemaTest, ParseErrorsNameWhatWasBeingCompiled) {
    EXPECT_NE(compile("Schema s ;\n\nAttribute a Integer ( x ) ;\nAttribute b String ( 3 ) ;",
                      "lbl"),
              0);
    EXPECT_THAT(log(), HasSubstr("db : parse error at 'x' while compiling attribute 'a' near "
                                 "line #3 of lbl\n"));
    ASSERT_NE(attribute("b"), nullptr);  // the next statement is read
    clear_log();
    EXPECT_NE(compile("Relation r Fields ( b ) Bogus ;"), 0);
    EXPECT_THAT(log(), HasSubstr("db : parse error at 'Bogus' while compiling relation 'r' near "
                                 "line #1 of text\n"));
    clear_log();
    EXPECT_NE(compile("Schema t Detail \"a\nb\" Zork ;"), 0);
    EXPECT_THAT(log(), HasSubstr("db : parse error at 'Zork' while compiling schema 't' near line #2"));
    clear_log();
    EXPECT_NE(compile(""), 0);
    EXPECT_THAT(log(), HasSubstr("db : parse error at ''"));
    // Text under the scanner is cut at 25 characters or a control character.
    clear_log();
    EXPECT_NE(compile("Attribute c String ( 3 ) Null { 0123456789012345678901234567890 } ( ;"), 0);
    EXPECT_THAT(log(), HasSubstr("parse error at '0123456789012345678901234' while"));
}

TEST_F(SchemaTest, TheSchemaStatement) {
    ASSERT_EQ(compile("Schema demo Description ( \"d\" ) Detail { x } Timedate t ;"), 0);
    EXPECT_STREQ(schema_->name, "demo");
    EXPECT_STREQ(schema_->description, "d");
    EXPECT_STREQ(schema_->detail, "x ");
    EXPECT_STREQ(schema_->timedate, "t");
}

TEST_F(SchemaTest, ScannerWordsNumbersCommentsStringsAndBlocks) {
    // "Schemas" is a name, a comment runs to the end of its line, quoted
    // strings keep their newlines (and count them).
    ASSERT_EQ(compile("Schema Schemas ; # a comment ; ;\n"
                      "Attribute Integer2 String (3) Description ( \"two\nlines\" ) ;\n"
                      "Attribute x:y.z$%_ Integer ( 007 ) ;"),
              0);
    EXPECT_STREQ(schema_->name, "Schemas");
    EXPECT_STREQ(attribute("Integer2")->description, "two\nlines");
    EXPECT_EQ(attribute("x:y.z$%_")->size, 7);
    // Blocks: the first line's indentation is dropped from every line, tabs
    // count 8 columns, inner braces nest.
    struct Case {
        const char *block;
        const char *text;
    } cases[] = {
        {"{ }", ""},
        {"{}", ""},
        {"{\n    one\n    two\n      three\n  four\n}", "one\ntwo\n  three\nfour\n"},
        {"{\n\tone\n\ttwo\n        three\n}", "one\ntwo\nthree\n"},
        {"{\n          one\n\t   two\n}", "one\n two\n"},
        {"{\n    one\n\t two\n}", "one\n     two\n"},
        {"{\n    a {b} c\n    d\te\n}", "a {b} c\nd        e\n"},
        {"{ unclosed", "unclosed ;"},
    };
    for (const Case &c : cases) {
        dbfree_schema(schema_);
        schema_ = nullptr;
        compile(std::string("Schema s Detail ") + c.block + " ;");
        EXPECT_STREQ(schema_->detail, c.text) << c.block;
    }
}

TEST_F(SchemaTest, LongTextsAreCut) {
    std::string big(9000, 'x');
    ASSERT_EQ(compile("Schema s Detail \"" + big + "\" ;"), 0);
    EXPECT_EQ(std::strlen(schema_->detail), 8184u);
    EXPECT_THAT(log(), HasSubstr("text longer than 8184 characters cut"));
}

TEST_F(SchemaTest, IncludeChainElevenFilesDeepCompilesAndLinesRunOn) {
    // The text includes f0, f0 includes f1 ... f9 includes f10: a chain of
    // eleven files, the last nested ten includes deep.
    for (int i = 0; i < 10; i++)
        write_file(path("f" + std::to_string(i)), "Attribute a" + std::to_string(i) +
                                                      " Integer ( 4 ) ;\nInclude " +
                                                      path("f" + std::to_string(i + 1)) + "\n");
    // Line numbers run on through the includes: f10 starts at line 11.
    write_file(path("f10"), "Attribute a10 Integer ( 4 ) ;\n\nAttribute bad Integer ( ) ;\n");
    EXPECT_NE(compile("Include " + path("f0") + "\n"), 0);
    EXPECT_NE(attribute("a10"), nullptr);
    EXPECT_THAT(log(), HasSubstr("db : parse error at ')' while compiling attribute 'bad' near line "
                                 "#13 of " + path("f10") + "\n"));
    EXPECT_THAT(log(), testing::Not(HasSubstr("nested")));
    clear_log();
    dbfree_schema(schema_);
    schema_ = nullptr;
    write_file(path("f10"), "Attribute a10 Integer ( 4 ) ;\n");
    EXPECT_EQ(compile("Include " + path("f0") + "\n"), 0);
    EXPECT_NE(attribute("a10"), nullptr);
    EXPECT_EQ(log(), "");
    dbfree_schema(schema_);
    schema_ = nullptr;
    // An Include inside f10, the twelfth level, is refused.
    write_file(path("f10"), "Attribute a10 Integer ( 4 ) ;\nInclude " + path("f11") + "\n");
    write_file(path("f11"), "Attribute a11 Integer ( 4 ) ;\n");
    EXPECT_NE(compile("Include " + path("f0") + "\n"), 0);
    EXPECT_THAT(log(), HasSubstr("Includes nested more than 10 deep\n"));
    EXPECT_NE(attribute("a10"), nullptr);
    EXPECT_EQ(attribute("a11"), nullptr);
    clear_log();
    EXPECT_NE(compile("\n\nInclude nosuchfile\n"), 0);
    EXPECT_THAT(log(), HasSubstr("Couldn't find 'nosuchfile' to include at line 3 of file text\n"));
}

TEST_F(SchemaTest, SchemaFilesAreFoundBesideTheDatabaseOrAlongSchemaDir) {
    char result[4096];
    EXPECT_EQ(find_schemafile(result, "ledger1.0", path("db").c_str()), 0);
    EXPECT_EQ(std::string(result), std::string(LEDGEFORM_TESTDATA) + "/schemas/ledger1.0");
    write_file(path("mine"), "Schema mine ;");
    EXPECT_EQ(find_schemafile(result, "mine", path("db").c_str()), 0);
    EXPECT_EQ(std::string(result), path("mine"));
    EXPECT_EQ(find_schemafile(result, path("mine").c_str(), nullptr), 0);
    EXPECT_EQ(find_schemafile(result, "nosuch", path("db").c_str()), -1);
    EXPECT_STREQ(result, "");
}

TEST_F(SchemaTest, TimedateMustBeATime) {
    write_file(path("bad"), "Schema bad Timedate s ; Attribute s String ( 3 ) ;");
    EXPECT_EQ(open_schema(path("bad").c_str(), ""), nullptr);
    EXPECT_THAT(log(), HasSubstr("Timedate attribute 's' not of type dbTIME.\n"));
    write_file(path("bad"), "Schema bad Timedate zz ;");
    EXPECT_EQ(open_schema(path("bad").c_str(), ""), nullptr);
    EXPECT_THAT(log(), HasSubstr("Timedate attribute 'zz' not defined.\n"));
    write_file(path("bad"), "Schema bad Bogus ;");
    EXPECT_EQ(open_schema(path("bad").c_str(), ""), nullptr);
    EXPECT_THAT(log(), HasSubstr("Parsing error in input schema\n"));
    // Several schemas in one list.
    write_file(path("extra"), "Attribute extra String ( 3 ) ;");
    Schema *both = open_schema(("ledger1.0:" + path("extra")).c_str(), path("db").c_str());
    ASSERT_NE(both, nullptr);
    EXPECT_NE(getarr(both->attributes, "extra"), nullptr);
    EXPECT_NE(getarr(both->attributes, "sta"), nullptr);
    dbfree_schema(both);
}

TEST_F(SchemaTest, TextCompiledIntoAnOpenDatabaseKeepsTheTimedateATime) {
    Dbptr db = create();
    write_file(path("supplement"), "Schema s Timedate sta ;");
    auto timedate = [&] {
        char *name = nullptr;
        dbquery(db, QUERY_TIMEDATE, &name);
        return std::string(name != nullptr ? name : "(null)");
    };
    struct Case {
        std::function<int()> compile;
        int result;
        const char *message;
    } cases[] = {
        {[&] { return dbcompile(db, "Schema s Timedate sta ;"); }, dbINVALID,
         "Timedate attribute 'sta' not of type dbTIME.\n"},
        {[&] { return dbcompile(db, "Schema s Timedate zz ;"); }, dbINVALID,
         "Timedate attribute 'zz' not defined.\n"},
        {[&] { return dbadd_schema(db, path("supplement").c_str()); }, -1,
         "Timedate attribute 'sta' not of type dbTIME.\n"},
    };
    for (const Case &c : cases) {
        clear_log();
        EXPECT_EQ(c.compile(), c.result) << c.message;
        EXPECT_THAT(log(), HasSubstr(c.message));
        EXPECT_EQ(timedate(), "lddate") << c.message;
    }
    // Records are stamped through the Timedate that held.
    Dbptr event = table(db, "event");
    auto child = testsupport::in_child([&] {
        int record = dbaddv(event, nullptr, "sta", "AAK", nullptr);
        double lddate = 0;
        dbgetv(at(event, record), nullptr, "lddate", &lddate, nullptr);
        testsupport::out(std::to_string(record) + (lddate > 1e9 ? " stamped" : " not stamped"));
    });
    EXPECT_EQ(child.out, "0 stamped") << child.err;
    clear_log();
    EXPECT_EQ(dbcompile(db, "Schema s Timedate time ;"), 0);
    EXPECT_EQ(timedate(), "time");
    EXPECT_EQ(log(), "");
}

TEST_F(SchemaTest, DatabasesTakeMoreSchemaTextExtensionsAndSupplements) {
    // The extension directory beside the schema file defines further tables.
    std::string schema_file = path("local1.0");
    write_file(schema_file, std::string(kAB) + "Relation r Fields ( a b ) ;");
    ASSERT_EQ(mkdir((schema_file + ".ext").c_str(), 0775), 0);
    write_file(schema_file + ".ext/extra", "Relation extra Fields ( b a ) ;");
    write_file(schema_file + ".ext/wrong", "Relation other Fields ( a ) ;");
    Dbptr db = create("demo", "r+", schema_file.c_str());
    Tbl *names = nullptr;
    ASSERT_EQ(dbquery(db, QUERY_TABLE_NAMES, &names), 0);
    ASSERT_EQ(maxtbl(names), 3);
    EXPECT_STREQ(static_cast<char *>(gettbl(names, 1)), "extra");
    Dbptr extra = table(db, "extra");
    EXPECT_GE(extra.table, 0) << log();
    auto child = testsupport::in_child([&] {
        Dbptr wrong = table(db, "wrong");
        testsupport::out(std::to_string(wrong.table));
    });
    EXPECT_EQ(child.out, "-102");
    EXPECT_THAT(child.err, HasSubstr("** extension file for wrong doesn't define wrong **\n\n"));
    // Text compiled into the open database.
    EXPECT_EQ(dbcompile(db, "Relation more Fields ( a ) Transient ;"), 0);
    EXPECT_GE(table(db, "more").table, 0);
    EXPECT_EQ(dbcompile(table(db, "r"), "Relation x Fields ( a ) ;"), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("dbcompile requires db pointer to database\n"));
    write_file(path("supplement"), "Relation sup Fields ( b ) ;");
    EXPECT_EQ(dbadd_schema(db, path("supplement").c_str()), 0);
    EXPECT_GE(table(db, "sup").table, 0);
    EXPECT_EQ(dbadd_schema(db, path("nosuch").c_str()), -1);
    EXPECT_THAT(log(), HasSubstr("Can't open supplemental schema file '" + path("nosuch") + "'"));
    ASSERT_EQ(dbquery(db, QUERY_TABLE_NAMES, &names), 0);
    EXPECT_EQ(maxtbl(names), 5);  // r, the two extension files, more and sup
}

}  // namespace

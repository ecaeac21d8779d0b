// Naming and expansion on object trees built by hand.
#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "expand/Expand.h"
#include "model/Model.h"
#include "model/Report.h"

using namespace kestrel::model;
using namespace kestrel::expand;

namespace {

// The messages of the expansions of a test.
TextReporter console;

// A small tree builder: every object gets a fresh offset and a name.
struct Tree {
    std::unique_ptr<BasicObject> root = std::make_unique<BasicObject>(0, "", nullptr);
    std::uint32_t next = 1;

    template <class T>
    T* add(BasicObject* parent, std::string_view name = {}) {
        auto* o = new T(next++, "DW_TAG_x", parent != nullptr ? parent : root.get());
        o->setName(name);
        return o;
    }
    TypeInfo_Base* base(std::int32_t size, std::string_view encoding) {
        auto* b = add<TypeInfo_Base>(nullptr, "b");
        b->byteSize = size;
        b->encodingName = encoding;
        return b;
    }
    TypeInfo_Structure* structure(std::int32_t size) {
        auto* s = add<TypeInfo_Structure>(nullptr, "S");
        s->byteSize = size;
        return s;
    }
    TypeInfo_Member* member(BasicObject* owner, std::string_view name, BasicObject* type,
                            std::int32_t offset) {
        auto* m = add<TypeInfo_Member>(owner, name);
        m->type = type;
        m->dataMemberLocation = offset;
        return m;
    }
    // One subrange per {lower, upper} pair.
    TypeInfo_Array* array(BasicObject* element, std::vector<std::pair<int, int>> dims) {
        auto* a = add<TypeInfo_Array>(nullptr);
        a->type = element;
        for (auto [lower, upper] : dims) {
            auto* d = add<TypeInfo_Subrange>(a);
            d->lowerB = lower;
            d->upperB = upper;
        }
        return a;
    }
};

std::vector<SignalInfo> run(const BasicObject* type, std::string name, std::uint32_t address = 0,
                            const ExpandLimits& limits = ExpandLimits{}) {
    SignalInfo seed;
    seed.name = std::move(name);
    seed.address = address;
    std::vector<SignalInfo> out;
    expand(type, std::move(seed), false, out, console, limits);
    return out;
}

std::vector<std::string> names(const std::vector<SignalInfo>& signals) {
    std::vector<std::string> result;
    for (const auto& s : signals) result.push_back(s.name);
    return result;
}

// ---------------------------------------------------------------- naming

TEST(QualifiedName, ScopesAndSeparators) {
    Tree t;
    auto* cu = t.add<CompileUnitInfo>(nullptr, "main.c");
    auto* x = t.add<VariableInfo>(cu, "x");
    auto* ns = t.add<TypeInfo_Namespace>(cu, "ns");
    auto* v = t.add<VariableInfo>(ns, "v");
    auto* f = t.add<FunctionInfo>(cu, "f");
    auto* cnt = t.add<VariableInfo>(f, "cnt");
    auto* block = t.add<BasicObject>(f, "");
    auto* cnt2 = t.add<VariableInfo>(block, "cnt");
    auto* motor = t.add<TypeInfo_Class>(ns, "Motor");
    auto* sDecl = t.add<VariableInfo>(motor, "s");
    auto* sDef = t.add<VariableInfo>(cu, "s");
    sDef->specification = sDecl;
    auto* st = t.add<TypeInfo_Structure>(ns, "S");
    auto* k = t.add<VariableInfo>(st, "k");
    auto* anon = t.add<TypeInfo_Namespace>(cu, "");
    auto* y = t.add<VariableInfo>(anon, "y");
    auto* colour = t.add<TypeInfo_Enumeration>(cu, "Colour");
    auto* e = t.add<TypeInfo_Enumerator>(colour, "E");
    auto* s2 = t.add<TypeInfo_Structure>(cu, "S2");
    auto* m = t.add<TypeInfo_Member>(s2, "m");

    EXPECT_EQ(qualifiedName(x, ""), "x");
    EXPECT_EQ(qualifiedName(v, ""), "ns::v");
    EXPECT_EQ(qualifiedName(cnt, ""), "f@cnt");
    EXPECT_EQ(qualifiedName(cnt2, ""), "f@cnt");
    EXPECT_EQ(qualifiedName(sDef, ""), "ns::Motor->s");
    EXPECT_EQ(qualifiedName(k, ""), "ns::k");
    EXPECT_EQ(qualifiedName(y, ""), "::y");
    EXPECT_EQ(qualifiedName(e, ""), "Colour.E");
    EXPECT_EQ(qualifiedName(m, ""), "m");
    EXPECT_EQ(qualifiedName(nullptr, "abc"), "abc");
    EXPECT_EQ(qualifiedName(cu, ""), "");
    EXPECT_EQ(qualifiedName(cu, "tail"), "tail");
    EXPECT_EQ(qualifiedName(anon, ""), "") << "no trailing separator";

    // A class contributes its own name, or with a specification the
    // specification's name, continuing from the specification's parent.
    auto* inner = t.add<TypeInfo_Class>(ns, "Inner");
    EXPECT_EQ(qualifiedName(inner, "a"), "ns::Inner->a");
    auto* outOfLine = t.add<TypeInfo_Class>(cu, "Other");
    outOfLine->specification = motor;
    EXPECT_EQ(qualifiedName(outOfLine, "a"), "ns::Motor->a");
    auto* g = t.add<FunctionInfo>(cu, "g");
    g->specification = f;
    auto* local = t.add<VariableInfo>(g, "z");
    EXPECT_EQ(qualifiedName(local, ""), "f@z");
}

TEST(QualifiedName, SpecificationCycleEnds) {
    Tree t;
    auto* a = t.add<TypeInfo_Class>(nullptr, "A");
    auto* b = t.add<TypeInfo_Class>(a, "B");
    a->specification = b;  // a's source is b, whose parent is a again
    std::string name = qualifiedName(a, "");
    EXPECT_LE(name.size(), 256u * 3u);
    EXPECT_EQ(name.rfind("B->B", 0), 0u);
}

TEST(GetName, DiagnosticForRtePortNames) {
    Tree t;
    auto* loud = t.add<VariableInfo>(nullptr, "Rte_RtePortSR_speed");
    t.add<BasicObject>(loud);
    t.add<BasicObject>(loud);
    auto* quiet1 = t.add<VariableInfo>(nullptr, "RtePortS");
    auto* quiet2 = t.add<VariableInfo>(nullptr, "rteportsr_x");

    console.text.clear();
    EXPECT_EQ(nameOf(*loud, &console), "Rte_RtePortSR_speed");
    EXPECT_EQ(qualifiedName(loud, "", &console), "Rte_RtePortSR_speed");
    EXPECT_EQ(nameOf(*quiet1, &console), "RtePortS");
    EXPECT_EQ(nameOf(*quiet2, &console), "rteportsr_x");
    EXPECT_EQ(std::exchange(console.text, {}),
              "getName: Rte_RtePortSR_speed (DIE 0x1)\nchildren.size(): 2\n"
              "getName: Rte_RtePortSR_speed (DIE 0x1)\nchildren.size(): 2\n");
    EXPECT_EQ(loud->getName(), "Rte_RtePortSR_speed");
    EXPECT_EQ(console.text, "") << "the model's own getter reports nothing";
}

// ------------------------------------------------------------- expansion

TEST(Expand, WorkedExample) {
    Tree t;
    auto* u16 = t.base(2, "unsigned");
    auto* u8 = t.base(1, "unsigned char");
    auto* i32 = t.base(4, "signed");
    auto* ptr = t.add<TypeInfo_Pointer>(nullptr);
    ptr->byteSize = 4;
    ptr->type = i32;
    auto* s = t.structure(24);
    t.member(s, "id", u16, 0);
    auto* mode = t.member(s, "mode", u8, 2);
    mode->bitField().bitSize = 3;
    mode->bitField().bitOffset = 5;
    mode->bitField().byteSize = 1;
    t.member(s, "data", t.array(i32, {{0, 3}}), 4);
    t.member(s, "p", ptr, 20);

    auto out = run(s, "cfg", 0x400);
    struct Row {
        const char* name;
        std::uint32_t address, size;
        std::int32_t bitSize, bitOffset;
        const char* typeName;
        bool isSigned;
    };
    const Row expected[] = {
        {"cfg.id", 0x400, 2, 0, 0, "unsigned", false},
        {"cfg.mode", 0x402, 1, 3, 5, "unsigned char", false},
        {"cfg.data_00", 0x404, 4, 0, 0, "signed", true},
        {"cfg.data_01", 0x408, 4, 0, 0, "signed", true},
        {"cfg.data_02", 0x40C, 4, 0, 0, "signed", true},
        {"cfg.data_03", 0x410, 4, 0, 0, "signed", true},
        {"cfg.p", 0x414, 4, 0, 0, "pointer", false},
    };
    ASSERT_EQ(out.size(), std::size(expected));
    for (std::size_t i = 0; i < out.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(out[i].name, expected[i].name);
        EXPECT_EQ(out[i].address, expected[i].address);
        EXPECT_EQ(out[i].size, expected[i].size);
        EXPECT_EQ(out[i].bitSize, expected[i].bitSize);
        EXPECT_EQ(out[i].bitOffset, expected[i].bitOffset);
        EXPECT_EQ(out[i].typeName, expected[i].typeName);
        EXPECT_EQ(out[i].isSigned, expected[i].isSigned);
        EXPECT_FALSE(out[i].isConst);
    }
    EXPECT_EQ(out[0].type, u16);
    EXPECT_EQ(out[6].type, ptr);
}

TEST(Expand, LeavesAndLookThrough) {
    Tree t;
    auto* f32 = t.base(4, "float");
    auto* td = t.add<TypeInfo_Typedef>(nullptr);
    auto* vol = t.add<TypeInfo_Volatile>(nullptr);
    td->type = vol;
    vol->type = f32;
    auto out = run(td, "x", 0x10);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].name, "x");
    EXPECT_EQ(out[0].address, 0x10u);
    EXPECT_EQ(out[0].size, 4u);
    EXPECT_FALSE(out[0].isSigned);

    auto* dangling = t.add<TypeInfo_Typedef>(nullptr);
    EXPECT_TRUE(run(dangling, "y").empty());

    auto* en = t.add<TypeInfo_Enumeration>(nullptr, "Colour");
    en->byteSize = 1;
    t.add<TypeInfo_Enumerator>(en, "RED");
    t.add<TypeInfo_Enumerator>(en, "GREEN");
    out = run(en, "c");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].name, "c");
    EXPECT_EQ(out[0].typeName, "enumeration");
    EXPECT_EQ(out[0].size, 1u);

    // Const marks everything below it, but the descent stops at a pointer.
    auto* i16 = t.base(2, "signed");
    auto* c = t.add<TypeInfo_Const>(nullptr);
    c->type = i16;
    out = run(c, "k");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].isConst);
    EXPECT_TRUE(out[0].isSigned);
    auto* p = t.add<TypeInfo_Pointer>(nullptr);
    p->byteSize = 4;
    p->type = c;
    out = run(p, "pk");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_FALSE(out[0].isConst);
    auto* emptyConst = t.add<TypeInfo_Const>(nullptr);
    EXPECT_TRUE(run(emptyConst, "e").empty());

    // A structure whose member is const: only that member is constant.
    auto* s = t.structure(4);
    t.member(s, "a", c, 0);
    t.member(s, "b", i16, 2);
    out = run(s, "s");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_TRUE(out[0].isConst);
    EXPECT_FALSE(out[1].isConst);
}

TEST(Expand, ArrayIndexWidthsAndBounds) {
    Tree t;
    auto* u8 = t.base(1, "unsigned char");
    const std::pair<int, const char*> widths[] = {
        {1, "a_0"}, {2, "a_01"}, {10, "a_09"}, {19, "a_18"}, {20, "a_019"}, {199, "a_198"}, {200, "a_0199"}};
    for (auto [count, last] : widths) {
        auto out = run(t.array(u8, {{0, count - 1}}), "a", 0x100);
        ASSERT_EQ(out.size(), static_cast<std::size_t>(count));
        EXPECT_EQ(out.back().name, last);
        EXPECT_EQ(out.back().address, 0x100u + static_cast<std::uint32_t>(count) - 1);
    }
    EXPECT_EQ(run(t.array(u8, {{0, 1}}), "a")[0].name, "a_00");

    // The lower bound numbers the names; the first element stays at the array's address.
    auto* i32 = t.base(4, "signed");
    auto out = run(t.array(i32, {{1, 3}}), "a", 0x200);
    EXPECT_EQ(names(out), (std::vector<std::string>{"a_01", "a_02", "a_03"}));
    EXPECT_EQ(out[0].address, 0x200u);
    EXPECT_EQ(out[2].address, 0x208u);

    EXPECT_EQ(names(run(t.array(i32, {{0, 0}}), "a")), std::vector<std::string>{"a_0"});
    EXPECT_TRUE(run(t.array(i32, {{0, -1}}), "a").empty());
    EXPECT_TRUE(run(t.array(i32, {{5, 3}}), "a").empty());
    EXPECT_TRUE(run(t.array(i32, {}), "a").empty()) << "no subrange";
    EXPECT_TRUE(run(t.array(nullptr, {{0, 3}}), "a").empty()) << "no element type";
}

TEST(Expand, ArraysOfStructuresAndMultipleDimensions) {
    Tree t;
    auto* i16 = t.base(2, "signed");
    auto* s = t.structure(4);
    t.member(s, "x", i16, 0);
    t.member(s, "y", i16, 2);
    auto out = run(t.array(s, {{0, 3}}), "a", 0x1000);
    ASSERT_EQ(out.size(), 8u);
    EXPECT_EQ(out[6].name, "a_03.x");
    EXPECT_EQ(out[6].address, 0x100Cu);
    EXPECT_EQ(out[7].name, "a_03.y");
    EXPECT_EQ(out[7].address, 0x100Eu);

    auto* i32 = t.base(4, "signed");
    out = run(t.array(i32, {{0, 2}, {0, 3}}), "a", 0x2000);
    ASSERT_EQ(out.size(), 12u);
    EXPECT_EQ(out[0].name, "a_00_00");
    EXPECT_EQ(out[1].name, "a_00_01");
    EXPECT_EQ(out[4].name, "a_01_00");
    EXPECT_EQ(out[4].address, 0x2010u) << "outer stride is 4 elements of 4 bytes";
    EXPECT_EQ(out[11].name, "a_02_03");
    EXPECT_EQ(out[11].address, 0x2000u + 11 * 4);

    auto* u8 = t.base(1, "unsigned char");
    out = run(t.array(u8, {{0, 19}, {0, 9}}), "m");
    ASSERT_EQ(out.size(), 200u);
    EXPECT_EQ(out[0].name, "m_000_00");
    EXPECT_EQ(out[199].name, "m_019_09");
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i].address, i);

    // Each dimension has its own lower bound; addresses stay dense.
    out = run(t.array(u8, {{1, 2}, {1, 3}}), "b");
    EXPECT_EQ(names(out), (std::vector<std::string>{"b_01_01", "b_01_02", "b_01_03", "b_02_01", "b_02_02", "b_02_03"}));
    EXPECT_EQ(out[3].address, 3u);
    EXPECT_TRUE(run(t.array(u8, {{0, 3}, {0, -1}}), "e").empty());
}

// Arrays inside the elements of arrays: each level keeps its own indices
// and strides while the inner ones run.
TEST(Expand, NestedArraysKeepTheirOwnIndices) {
    Tree t;
    auto* u8 = t.base(1, "unsigned char");
    auto* i16 = t.base(2, "signed");
    auto* s = t.structure(12);
    t.member(s, "a", t.array(u8, {{0, 2}}), 0);
    t.member(s, "b", t.array(i16, {{0, 1}, {0, 1}}), 4);
    auto out = run(t.array(s, {{0, 1}}), "v", 0x100);
    EXPECT_EQ(names(out), (std::vector<std::string>{"v_00.a_00", "v_00.a_01", "v_00.a_02", "v_00.b_00_00", "v_00.b_00_01",
                                                    "v_00.b_01_00", "v_00.b_01_01", "v_01.a_00", "v_01.a_01", "v_01.a_02",
                                                    "v_01.b_00_00", "v_01.b_00_01", "v_01.b_01_00", "v_01.b_01_01"}));
    const std::uint32_t addresses[] = {0x100, 0x101, 0x102, 0x104, 0x106, 0x108, 0x10A,
                                       0x10C, 0x10D, 0x10E, 0x110, 0x112, 0x114, 0x116};
    ASSERT_EQ(out.size(), std::size(addresses));
    for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i].address, addresses[i]) << out[i].name;
    EXPECT_FALSE(out[0].isSigned);
    EXPECT_TRUE(out[3].isSigned);

    // An empty inner dimension ends only its own array.
    auto* e = t.structure(8);
    t.member(e, "none", t.array(u8, {{0, 3}, {2, 1}}), 0);
    t.member(e, "x", u8, 4);
    EXPECT_EQ(names(run(t.array(e, {{0, 1}}), "w")), (std::vector<std::string>{"w_00.x", "w_01.x"}));
}

// Many base types met in turn, signed and unsigned alternating: every leaf
// gets the signedness of its own encoding, however often it is met.
TEST(Expand, SignednessOfManyBaseTypes) {
    Tree t;
    const char* encodings[] = {"signed", "unsigned", "signed char", "unsigned char", "float", "boolean"};
    auto* s = t.structure(0);
    std::vector<std::string> memberNames(60);  // the model holds views
    std::vector<bool> expected;
    for (int i = 0; i < 60; ++i) {
        const char* encoding = encodings[i % std::size(encodings)];
        memberNames[i] = "m" + std::to_string(i);
        t.member(s, memberNames[i], t.base(1, encoding), i);
        expected.push_back(i % std::size(encodings) == 0 || i % std::size(encodings) == 2);
    }
    auto out = run(t.array(s, {{0, 2}}), "x");
    ASSERT_EQ(out.size(), 3 * expected.size());
    for (std::size_t i = 0; i < out.size(); ++i)
        EXPECT_EQ(out[i].isSigned, expected[i % expected.size()]) << out[i].name << " " << out[i].typeName;
}

// A sink sees every signal as the list would hold it, in the same order.
TEST(Expand, SinkSeesTheSignalsOfTheList) {
    Tree t;
    auto* i32 = t.base(4, "signed");
    auto* s = t.structure(8);
    auto* bits = t.member(s, "f", i32, 0);
    bits->bitField().bitSize = 3;
    bits->bitField().bitOffset = 1;
    t.member(s, "g", t.array(i32, {{0, 1}}), 4);
    struct Names final : SignalSink {
        void signal(const SignalInfo& sig) override {
            seen.push_back(sig.name + "@" + std::to_string(sig.address) + "/" + std::to_string(sig.bitSize));
        }
        std::vector<std::string> seen;
    } sink;
    SignalInfo seed;
    seed.name = "v";
    seed.address = 0x10;
    expand(s, seed, false, sink, console, ExpandLimits{});
    std::vector<std::string> fromList;
    for (const SignalInfo& sig : run(s, "v", 0x10))
        fromList.push_back(sig.name + "@" + std::to_string(sig.address) + "/" + std::to_string(sig.bitSize));
    EXPECT_EQ(sink.seen, fromList);
    EXPECT_EQ(sink.seen, (std::vector<std::string>{"v.f@16/3", "v.g_00@20/0", "v.g_01@24/0"}));
}

TEST(Expand, StructuresUnionsAndClasses) {
    Tree t;
    auto* i32 = t.base(4, "signed");
    auto* u8 = t.base(1, "unsigned char");

    // Member functions, nested types and static declarations are not storage.
    auto* s = t.structure(8);
    t.member(s, "a", i32, 0);
    auto* method = t.add<FunctionInfo>(s, "run");
    method->type = i32;
    auto* nestedType = t.add<TypeInfo_Structure>(s, "Nested");
    t.member(nestedType, "n", i32, 0);
    auto* var = t.add<VariableInfo>(s, "v");
    var->type = i32;
    auto* staticMember = t.member(s, "instances", i32, 0);
    staticMember->setDeclaration(true);
    t.member(s, "b", i32, 4);
    EXPECT_EQ(names(run(s, "s")), (std::vector<std::string>{"s.a", "s.b"}));

    // A union expands its members only (a type declared inside it, as clang
    // writes them, or a member function would give signals of no object),
    // and members of an anonymous union get a lone '.'.
    auto* un = t.add<TypeInfo_Union>(nullptr);
    un->byteSize = 4;
    t.member(un, "x", i32, 0);
    t.member(un, "y", u8, 0);
    t.add<FunctionInfo>(un, "f");
    auto* innerType = t.add<TypeInfo_Structure>(un, "half");
    t.member(innerType, "lo", u8, 0);
    auto* outer = t.structure(8);
    t.member(outer, "", un, 4);
    auto out = run(outer, "s", 0x40);
    EXPECT_EQ(names(out), (std::vector<std::string>{"s..x", "s..y"}));
    EXPECT_EQ(out[1].address, 0x44u);

    // Base class members appear under the object's own name, at the base's offset.
    auto* baseClass = t.add<TypeInfo_Class>(nullptr, "Base");
    baseClass->byteSize = 8;
    t.member(baseClass, "baseMember", i32, 4);
    auto* derived = t.add<TypeInfo_Class>(nullptr, "Derived");
    derived->byteSize = 16;
    auto* inh = t.add<TypeInfo_Inheritance>(derived);
    inh->type = baseClass;
    inh->dataMemberLocation = 8;
    t.add<TypeInfo_Inheritance>(derived);  // without a type: skipped
    t.member(derived, "own", u8, 0);
    out = run(derived, "obj", 0x100);
    ASSERT_EQ(names(out), (std::vector<std::string>{"obj.baseMember", "obj.own"}));
    EXPECT_EQ(out[0].address, 0x10Cu);
    EXPECT_EQ(out[1].address, 0x100u);

    // Siblings never see each other's changes: after a bit field the next
    // member is an ordinary one again.
    auto* bits = t.structure(8);
    auto* flag = t.member(bits, "flag", u8, 0);
    flag->bitField().bitSize = 1;
    flag->bitField().bitOffset = 7;
    flag->bitField().byteSize = 1;
    t.member(bits, "n", i32, 4);
    out = run(bits, "r", 0x10);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].bitSize, 1);
    EXPECT_EQ(out[1].bitSize, 0);
    EXPECT_EQ(out[1].bitOffset, 0);
    EXPECT_EQ(out[1].address, 0x14u);
    EXPECT_EQ(out[1].name, "r.n");
}

TEST(Expand, NamespacesVariablesAndFunctions) {
    Tree t;
    auto* i32 = t.base(4, "signed");
    // A plain entry (a tag without a class of its own) visits all its children.
    auto* un = t.add<BasicObject>(nullptr);
    auto* ns = t.add<TypeInfo_Namespace>(un, "ns");
    auto* inNs = t.add<VariableInfo>(ns, "w");
    inNs->type = i32;
    auto* decl = t.add<VariableInfo>(nullptr, "d");
    decl->type = i32;
    auto* def = t.add<VariableInfo>(un, "def");
    def->specification = decl;
    auto* fDecl = t.add<FunctionInfo>(nullptr, "fd");
    auto* fDef = t.add<FunctionInfo>(un, "fdef");
    fDef->specification = fDecl;
    auto out = run(un, "u");
    // A definition is named after its declaration, whose own step then runs;
    // a function's declaration comes before the function's own signal.
    EXPECT_EQ(names(out), (std::vector<std::string>{"u::ns.w", "d.d", "fd.fd", "fd"}));
    EXPECT_EQ(out[2].type, fDecl);
    EXPECT_EQ(out[3].type, fDecl);
    EXPECT_EQ(out[3].typeName, "function");
}

TEST(Expand, TypeCyclesAndDepthAreCutOff) {
    Tree t;
    auto* i32 = t.base(4, "signed");
    auto* self = t.add<TypeInfo_Typedef>(nullptr);
    self->type = self;
    console.text.clear();
    EXPECT_TRUE(run(self, "loop").empty());
    EXPECT_EQ(std::exchange(console.text, {}), "Type nesting too deep, expansion stopped: loop\n");

    // A structure containing itself: that path is cut, the siblings still come.
    auto* s = t.structure(8);
    t.member(s, "a", i32, 0);
    t.member(s, "again", s, 4);
    t.member(s, "b", i32, 4);
    console.text.clear();
    auto out = run(s, "s");
    EXPECT_EQ(std::exchange(console.text, {}), "Type nesting too deep, expansion stopped: s\n");
    EXPECT_EQ(names(out), (std::vector<std::string>{"s.a", "s.b"}));

    // A long finite chain beyond the depth limit.
    ExpandLimits limits;
    limits.maxDepth = 10;
    BasicObject* chain = i32;
    for (int i = 0; i < 20; ++i) {
        auto* td = t.add<TypeInfo_Typedef>(nullptr);
        td->type = chain;
        chain = td;
    }
    console.text.clear();
    EXPECT_TRUE(run(chain, "deep", 0, limits).empty());
    EXPECT_EQ(std::exchange(console.text, {}), "Type nesting too deep, expansion stopped: deep\n");
    EXPECT_EQ(run(chain, "deep").size(), 1u) << "within the default limit";
}

TEST(Expand, HugeArraysAreCapped) {
    Tree t;
    auto* u8 = t.base(1, "unsigned char");
    ExpandLimits limits;
    limits.maxSignals = 1000;
    limits.maxVisits = 100000;
    console.text.clear();
    auto out = run(t.array(u8, {{0, 2000000000}}), "big", 0, limits);
    EXPECT_EQ(std::exchange(console.text, {}), "Too many signals, expansion stopped: big\n");
    EXPECT_EQ(out.size(), 1000u);

    // Elements that give no signals still cost work.
    auto* empty = t.structure(0);
    console.text.clear();
    out = run(t.array(empty, {{0, 2000000000}, {0, 2000000000}}), "none", 0, limits);
    EXPECT_EQ(std::exchange(console.text, {}), "Type too large, expansion stopped: none\n");
    EXPECT_TRUE(out.empty());
}

// Each element of an array is what its type's own expansion gives at the
// element's address and name, with the same visits, whatever the element
// type's chain (the plain scalar ones are emitted without a walk of their own).
TEST(Expand, ArrayElementsAreTheirTypesExpansion) {
    Tree t;
    auto* i16 = t.base(2, "signed");
    auto* u32 = t.base(4, "unsigned int");
    auto chain = [&](std::vector<BasicObject*> steps, BasicObject* end) {
        for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
            static_cast<TypeInfo_Typedef*>(*it)->type = end;  // typedef, const and volatile alike
            end = *it;
        }
        return end;
    };
    auto* pointer = t.add<TypeInfo_Pointer>(nullptr);
    pointer->byteSize = 4;
    auto* colours = t.add<TypeInfo_Enumeration>(nullptr, "colours");
    colours->byteSize = 1;
    t.add<TypeInfo_Enumerator>(colours, "red");
    t.add<TypeInfo_Enumerator>(colours, "green");
    auto* odd = t.add<TypeInfo_Enumeration>(nullptr, "odd");  // an enumerator with a child is walked
    odd->byteSize = 2;
    t.add<TypeInfo_Base>(t.add<TypeInfo_Enumerator>(odd, "e"), "inner")->byteSize = 1;
    auto* withChild = t.add<TypeInfo_Typedef>(nullptr, "t");
    withChild->type = u32;
    t.add<TypeInfo_Enumerator>(withChild, "x");
    auto* pair = t.structure(4);
    t.member(pair, "lo", i16, 0);
    t.member(pair, "hi", i16, 2);
    const BasicObject* elements[] = {
        i16, pointer, colours, odd, withChild, pair,
        chain({t.add<TypeInfo_Typedef>(nullptr), t.add<TypeInfo_Const>(nullptr), t.add<TypeInfo_Volatile>(nullptr)}, u32),
        chain({t.add<TypeInfo_Const>(nullptr)}, colours),
        chain({t.add<TypeInfo_Typedef>(nullptr)}, nullptr),
        chain({t.add<TypeInfo_Const>(nullptr)}, nullptr),
    };
    struct Collect final : SignalSink {
        void signal(const SignalInfo& s) override { list.push_back(s); }
        std::vector<SignalInfo> list;
    };
    auto expandAt = [](const BasicObject* type, std::string name, std::uint32_t address, Collect& into) {
        SignalInfo seed;
        seed.name = std::move(name);
        seed.address = address;
        return expand(type, std::move(seed), false, into, console, ExpandLimits{}).visits;
    };
    for (std::size_t k = 0; k < std::size(elements); ++k) {
        SCOPED_TRACE(k);
        const BasicObject* element = elements[k];
        Collect whole, expected;
        const std::size_t visits = expandAt(t.array(const_cast<BasicObject*>(element), {{1, 2}, {0, 2}}), "a", 0x100, whole);
        const std::uint32_t size = sizeOf(element);
        std::size_t elementVisits = 0;
        for (std::uint32_t i = 1; i <= 2; ++i)
            for (std::uint32_t j = 0; j <= 2; ++j)
                elementVisits += expandAt(element, "a_0" + std::to_string(i) + "_0" + std::to_string(j),
                                          0x100 + ((i - 1) * 3 + j) * size, expected);  // indices of width 2
        EXPECT_EQ(visits, 1 + elementVisits + 2) << "the array, its elements and its two subranges";
        ASSERT_EQ(whole.list.size(), expected.list.size());
        for (std::size_t n = 0; n < whole.list.size(); ++n) {
            const SignalInfo& a = whole.list[n];
            const SignalInfo& b = expected.list[n];
            EXPECT_EQ(std::tie(a.name, a.address, a.size, a.typeName, a.isSigned, a.isConst, a.type, a.bitSize),
                      std::tie(b.name, b.address, b.size, b.typeName, b.isSigned, b.isConst, b.type, b.bitSize));
        }
    }

    // A limit met inside an element stops there, as in the element's own walk:
    // the fifth enumeration's leaf comes, its first enumerator's visit is one
    // too many.
    ExpandLimits limits;
    limits.maxVisits = 1 + 4 * 3 + 1;
    console.text.clear();
    EXPECT_EQ(run(t.array(colours, {{0, 9}}), "few", 0, limits).size(), 5u);
    EXPECT_EQ(std::exchange(console.text, {}), "Type too large, expansion stopped: few\n");
    limits = ExpandLimits{};
    limits.maxSignals = 3;
    EXPECT_EQ(run(t.array(i16, {{0, 9}}), "three", 0, limits).size(), 3u);
    EXPECT_EQ(std::exchange(console.text, {}), "Too many signals, expansion stopped: three\n");
}

TEST(Expand, TypelessDefinitionUsesItsDeclaration) {
    Tree t;
    auto* i32 = t.base(4, "signed");
    auto* decl = t.add<VariableInfo>(nullptr, "x");
    decl->type = i32;
    auto* mid = t.add<VariableInfo>(nullptr, "x");
    mid->specification = decl;
    auto* def = t.add<VariableInfo>(nullptr, "x");
    def->specification = mid;
    EXPECT_EQ(expansionType(def), i32);
    auto* own = t.add<VariableInfo>(nullptr, "o");
    own->type = t.base(1, "boolean");
    own->specification = decl;
    EXPECT_EQ(expansionType(own), own->type);
    auto* bare = t.add<VariableInfo>(nullptr, "b");
    EXPECT_EQ(expansionType(bare), nullptr);
    auto* loop = t.add<VariableInfo>(nullptr, "l");
    loop->specification = loop;
    EXPECT_EQ(expansionType(loop), nullptr);
}

// The signedness test is a direct scan; it must agree with the expression
// the tool has always been defined by.
TEST(Expand, SignedEncodingAgreesWithTheExpression) {
    const std::regex pattern("^.*[^n]signed.*$", std::regex::ECMAScript);
    auto reference = [&](const std::string& text) { return std::regex_match("A" + text, pattern); };

    std::vector<std::string> texts = {"signed", "signed char", "unsigned", "unsigned char", "float",
                                      "boolean", "", "xsigned", "nsigned", "signed fixed",
                                      "unsigned signed", "\nsigned", "a\nsigned", "signed\n", "signed\r",
                                      "\rsigned", "x\n\nsigned", "nsigned signed", "signedsigned"};
    const std::string pieces[] = {"", "n", "x", "\r", "\n", "un", " ", "s", "nn"};
    for (const auto& a : pieces)
        for (const auto& b : pieces)
            for (const auto& c : pieces) texts.push_back(a + b + "signed" + c);
    std::mt19937 random(7);
    const char alphabet[] = "signedu\n\r ";
    for (int i = 0; i < 3000; ++i) {
        std::string text;
        const int length = static_cast<int>(random() % 14);
        for (int k = 0; k < length; ++k) text += alphabet[random() % (sizeof alphabet - 1)];
        if (random() % 2 == 0) text.insert(random() % (text.size() + 1), "signed");
        texts.push_back(text);
    }
    for (const auto& text : texts) EXPECT_EQ(isSignedEncoding(text), reference(text)) << '"' << text << '"';
    EXPECT_TRUE(isSignedEncoding("signed char"));
    EXPECT_FALSE(isSignedEncoding("unsigned char"));
}

}  // namespace

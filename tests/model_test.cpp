#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <memory>
#include <vector>

#include "model/DwarfModel.h"
#include "model/Model.h"

using namespace kestrel::model;

namespace {

TEST(ModelObjects, SizesFollowTheClassRules) {
    BasicObject root(0, "", nullptr);
    auto* int4 = new TypeInfo_Base(0x10, "DW_TAG_base_type", &root);
    int4->byteSize = 4;
    auto* arr = new TypeInfo_Array(0x20, "DW_TAG_array_type", &root);
    arr->type = int4;
    auto* d0 = new TypeInfo_Subrange(0x21, "DW_TAG_subrange_type", arr);
    d0->upperB = 2;
    auto* d1 = new TypeInfo_Subrange(0x22, "DW_TAG_subrange_type", arr);
    d1->upperB = 3;
    EXPECT_EQ(arr->getSize(), 48u);

    auto* one = new TypeInfo_Array(0x30, "DW_TAG_array_type", &root);
    auto* r = new TypeInfo_Subrange(0x31, "DW_TAG_subrange_type", one);
    r->upperB = 9;
    EXPECT_EQ(one->getSize(), 0u) << "element type not linked";
    one->type = int4;
    EXPECT_EQ(one->getSize(), 40u);

    TypeInfo_Subrange none(0x40, "DW_TAG_subrange_type", nullptr);
    EXPECT_EQ(none.getSize(), 1u);
    none.lowerB = 1;
    none.upperB = 4;
    EXPECT_EQ(none.getSize(), 4u);

    auto* s = new TypeInfo_Structure(0x50, "DW_TAG_structure_type", &root);
    s->byteSize = 12;
    auto* bits = new TypeInfo_Member(0x51, "DW_TAG_member", s);
    bits->type = int4;
    bits->bitField().bitSize = 3;
    bits->bitField().byteSize = 1;
    EXPECT_EQ(bits->getSize(), 1u) << "a bit field has the size of its storage unit";
    bits->bitField().bitSize = 0;
    EXPECT_EQ(bits->getSize(), 4u);
    EXPECT_EQ(s->getSize(), 12u) << "never the sum of the members";

    auto* ns = new TypeInfo_Namespace(0x60, "DW_TAG_namespace", &root);
    auto* a = new TypeInfo_Base(0x61, "DW_TAG_base_type", ns);
    a->byteSize = 2;
    auto* b = new TypeInfo_Base(0x62, "DW_TAG_base_type", ns);
    b->byteSize = 8;
    EXPECT_EQ(ns->getSize(), 10u);

    auto* c = new TypeInfo_Const(0x70, "DW_TAG_const_type", &root);
    c->type = s;
    auto* td = new TypeInfo_Typedef(0x71, "DW_TAG_typedef", &root);
    td->type = c;
    EXPECT_EQ(td->getSize(), 12u);
}

TEST(ModelObjects, ChildrenInheritFromTheirParentAtConstruction) {
    BasicObject root(0, "", nullptr);
    auto* cu = new CompileUnitInfo(0xb, "DW_TAG_compile_unit", &root);
    cu->setName("main.c");
    cu->stmtList = 0x75;
    auto* v = new VariableInfo(0x20, "DW_TAG_variable", cu);
    EXPECT_FALSE(v->nested);
    EXPECT_EQ(v->compileUnitName(), "main.c");
    EXPECT_EQ(v->stmtListOffset(), 0x75u);
    auto* s = new TypeInfo_Structure(0x30, "DW_TAG_structure_type", cu);
    s->setDeclLine(12);
    s->declFile = 2;
    auto* m = new TypeInfo_Member(0x31, "DW_TAG_member", s);
    EXPECT_TRUE(m->nested);
    EXPECT_EQ(m->declLine, 12u);
    EXPECT_EQ(m->declFile, 2);
    auto* below = new BasicObject(0x32, "DW_TAG_lexical_block", m);
    EXPECT_TRUE(below->nested);
    ASSERT_EQ(cu->children.size(), 2u);
    EXPECT_EQ(cu->children.front(), v);
}

TEST(ModelObjects, StatementListJoinsDirectoriesAndNumbersFiles) {
    StatementList classic(0);
    classic.addFile(0, "a.c");
    classic.addDirectory("x");
    classic.addDirectory("y");
    classic.addFile(2, "b.h");
    classic.addFile(7, "c.h");
    EXPECT_EQ(classic.files, (std::vector<std::string>{"/a.c", "y/b.h", "/c.h"}));
    EXPECT_EQ(classic.fileFor(0), nullptr);
    EXPECT_EQ(*classic.fileFor(1), "/a.c");
    EXPECT_EQ(classic.fileFor(4), nullptr);

    StatementList v5(0x30);
    v5.zeroBased = true;
    v5.addDirectory("/work");
    v5.addDirectory("/usr/include");
    v5.addFile(0, "big.c");
    v5.addFile(1, "stdint.h");
    EXPECT_EQ(*v5.fileFor(0), "/work/big.c");
    EXPECT_EQ(*v5.fileFor(1), "/usr/include/stdint.h");
    EXPECT_EQ(v5.fileFor(2), nullptr);
}

TEST(ModelObjects, DestroyingTheRootDestroysADeepTreeOnce) {
    // Deep enough to overflow the stack if destruction recursed.
    auto root = std::make_unique<BasicObject>(0, "", nullptr);
    BasicObject* p = root.get();
    for (std::uint32_t i = 1; i <= 200000; ++i) p = new BasicObject(i, "DW_TAG_lexical_block", p);
    auto* shared = new TypeInfo_Base(1u << 30, "DW_TAG_base_type", root.get());
    for (int i = 0; i < 3; ++i) (new TypeInfo_Typedef(static_cast<std::uint32_t>(i), "DW_TAG_typedef", root.get()))->type = shared;
    root.reset();
    SUCCEED();
}

// The class views walk the tree: they must give reading (creation) order,
// each object before its children, over deep chains and depth jumps alike.
TEST(ModelObjects, ClassViewsGiveReadingOrder) {
    DwarfModel m;
    BasicObject* root = m.makeRoot();
    std::vector<BasicObject*> made;
    std::vector<BasicObject*> levels{root};
    std::uint32_t state = 7;
    for (std::uint32_t i = 1; i <= 30000; ++i) {
        state = state * 1103515245u + 12345u;
        // Mostly one level deeper or a sibling; now and then back up many levels.
        std::size_t depth = (state >> 20) % 8 == 0 ? (state >> 8) % levels.size() : levels.size() - 1 - (state >> 4) % 2;
        if (i < 5000) depth = levels.size() - 1;  // a long chain first
        const Kind kind = (state >> 12) % 3 == 0 ? Kind::Variable : Kind::Structure;
        BasicObject* o = m.make(kind, i, kind == Kind::Variable ? "DW_TAG_variable" : "DW_TAG_structure_type",
                                levels[depth]);
        levels.resize(depth + 1);
        levels.push_back(o);
        made.push_back(o);
    }
    std::vector<BasicObject*> walked;
    for (TreeWalk walk(root); !walk.done(); ++walk) walked.push_back(*walk);
    EXPECT_EQ(walked, made);
    std::vector<BasicObject*> variables;
    for (BasicObject* o : made)
        if (o->kind() == Kind::Variable) variables.push_back(o);
    std::vector<BasicObject*> viewed(m.variables.begin(), m.variables.end());
    EXPECT_EQ(viewed, variables);
    EXPECT_EQ(m.variables.size(), variables.size());
    EXPECT_EQ(m.structures.size() + m.variables.size(), made.size());
}

TEST(ModelIndex, FirstObjectOfAnOffsetWinsAndOffsetZeroFindsNothing) {
    OffsetIndex index;
    BasicObject a(0x30, "x", nullptr), b(0x30, "y", nullptr), c(0x10, "z", nullptr), z(0, "", nullptr);
    index.add(0x30, &a);
    index.add(0x30, &b);
    index.add(0x10, &c);
    index.add(0, &z);
    EXPECT_EQ(index.find(0x30), &a);
    EXPECT_EQ(index.find(0x10), &c);
    EXPECT_EQ(index.find(0x20), nullptr);
    EXPECT_EQ(index.find(0), nullptr);
    // One entry at a high offset: the coarse table spans the whole offset range.
    OffsetIndex high;
    BasicObject h(0xfffffff0u, "x", nullptr);
    high.add(0xfffffff0u, &h);
    EXPECT_EQ(high.find(0xfffffff0u), &h);
    EXPECT_EQ(high.find(0x10), nullptr);
    EXPECT_EQ(high.find(0xffffffffu), nullptr);
}

// Against a std::map that keeps the first object of each offset: ascending
// runs, runs out of order and repeated offsets, across many storage blocks.
TEST(ModelIndex, AgreesWithAnOrderedMap) {
    for (bool ascending : {true, false}) {
        OffsetIndex index;
        std::map<std::uint32_t, BasicObject*> expected;
        std::vector<std::unique_ptr<BasicObject>> objects;
        std::uint32_t state = 12345;
        for (std::uint32_t i = 0; i < 20000; ++i) {
            state = state * 1103515245u + 12345u;
            const std::uint32_t offset = ascending ? 11 + i * 7 + (state >> 28) : (state >> 12) % 60000 + 1;
            objects.push_back(std::make_unique<BasicObject>(offset, "x", nullptr));
            index.add(offset, objects.back().get());
            expected.emplace(offset, objects.back().get());
        }
        EXPECT_EQ(index.size(), expected.size());
        for (std::uint32_t offset = 0; offset < 200000; ++offset) {
            auto it = expected.find(offset);
            ASSERT_EQ(index.find(offset), it != expected.end() && offset != 0 ? it->second : nullptr) << offset;
        }
    }
}

}  // namespace

namespace {

TEST(ModelObjects, CyclicOrDeepTypesHaveSizeZeroInsteadOfExhaustingTheStack) {
    BasicObject root(0, "", nullptr);
    auto* self = new TypeInfo_Typedef(1, "DW_TAG_typedef", &root);
    self->type = self;
    EXPECT_EQ(self->getSize(), 0u);
    auto* arr = new TypeInfo_Array(2, "DW_TAG_array_type", &root);
    new TypeInfo_Subrange(3, "DW_TAG_subrange_type", arr);
    arr->type = arr;
    EXPECT_EQ(arr->getSize(), 0u);
    // Every level branching in two: without a bound on the steps of one size
    // this takes 2^256 steps.
    auto* branching = new TypeInfo_Array(0x100, "DW_TAG_array_type", &root);
    branching->type = branching;
    for (int i = 0; i < 2; ++i) {
        auto* child = new TypeInfo_Array(0x101 + static_cast<std::uint32_t>(i), "DW_TAG_array_type", branching);
        child->type = branching;
        new TypeInfo_Subrange(0x110 + static_cast<std::uint32_t>(i), "DW_TAG_subrange_type", child);
    }
    EXPECT_EQ(branching->getSize(), 0u);
    BasicObject* p = new TypeInfo_Namespace(4, "DW_TAG_namespace", &root);
    for (std::uint32_t i = 5; i < 100000; ++i) p = new TypeInfo_Namespace(i, "DW_TAG_namespace", p);
    EXPECT_EQ(root.getSize(), 0u);
}

}  // namespace

namespace {

TEST(ModelIndex, SparseOffsetsAreFoundWhateverTheirRange) {
    OffsetIndex index;
    std::vector<std::unique_ptr<BasicObject>> objects;
    for (std::uint32_t offset : {0x10u, 0x11u, 0x4000u, 0xffffffc0u, 0x12u}) {
        objects.push_back(std::make_unique<BasicObject>(offset, "x", nullptr));
        index.add(offset, objects.back().get());
    }
    for (const auto& o : objects) EXPECT_EQ(index.find(o->offset), o.get());
    EXPECT_EQ(index.find(0xffffffc1u), nullptr);
    EXPECT_EQ(index.find(0xffffffffu), nullptr);
    EXPECT_EQ(index.find(0x13u), nullptr);
    EXPECT_EQ(index.size(), 5u);
}

}  // namespace

namespace {

// Tag texts are ids of one table for the whole process: equal texts get one
// id and come back exactly, also when two threads add texts at once.
TEST(ModelTags, TextsComeBackExactlyFromTwoThreads) {
    auto work = [](char thread, std::vector<std::uint16_t>& ids) {
        for (int i = 0; i < 600; ++i) {
            const std::string text = "User TAG value: 0x" + std::to_string(i % 300) + (i % 2 == 0 ? "" : std::string(1, thread));
            const std::uint16_t id = TagTable::intern(text);
            ids.push_back(TagTable::text(id) == text ? id : 0);
        }
    };
    std::vector<std::uint16_t> a, b;
    std::thread other(work, 'b', std::ref(b));
    work('a', a);
    other.join();
    for (std::size_t i = 0; i < a.size(); ++i) {
        ASSERT_NE(a[i], 0) << i;
        ASSERT_NE(b[i], 0) << i;
        EXPECT_EQ(a[i] == b[i], i % 2 == 0) << "shared texts share ids, the others do not";
    }
    BasicObject unit(1, "DW_TAG_type_unit", nullptr), partial(2, "DW_TAG_partial_unit", nullptr);
    TypeInfo_Member member(3, std::string_view("DW_TAG_member\0tail", 13), nullptr);
    EXPECT_TRUE(unit.isUnitEntry() && partial.isUnitEntry() && !member.isUnitEntry());
    EXPECT_EQ(member.tag(), "DW_TAG_member");
    EXPECT_EQ(member.tag().data()[member.tag().size()], '\0');
}

// Beyond 65,535 distinct texts a text gets the empty one; texts of the table
// keep theirs. In a child process: the table lives as long as the process.
TEST(ModelTags, TextsBeyondTheTableAreEmpty) {
    EXPECT_EXIT(
        {
            const std::uint16_t known = TagTable::intern("DW_TAG_variable");
            std::uint16_t last = 1;
            for (int i = 0; i < 70000; ++i) last = TagTable::intern("t" + std::to_string(i));
            const bool ok = last == TagTable::kEmpty && TagTable::intern("DW_TAG_variable") == known &&
                            TagTable::text(65535) != "" && TagTable::intern("another") == TagTable::kEmpty;
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// Links hold the offset read until link() finds the object there; one that
// finds none keeps its offset and reads as null.
TEST(ModelLinks, OffsetsBecomeObjectsWhereTheyAreFound) {
    DwarfModel m;
    BasicObject* root = m.makeRoot();
    auto* base = m.make(Kind::Base, 0x10, "DW_TAG_base_type", root);
    m.objectsByOffset.add(0x10, base);
    auto* v = static_cast<VariableInfo*>(m.make(Kind::Variable, 0x20, "DW_TAG_variable", root));
    auto* w = static_cast<VariableInfo*>(m.make(Kind::Variable, 0x30, "DW_TAG_variable", root));
    v->type.setOffset(0x10);
    w->type.setOffset(0xfffffff0u);
    w->specification.setOffset(0x10);
    EXPECT_EQ(v->type, nullptr) << "not linked yet";
    m.link();
    EXPECT_EQ(v->type, base);
    EXPECT_EQ(v->type.offset(), 0x10u);
    EXPECT_EQ(w->type, nullptr);
    EXPECT_EQ(w->type.offset(), 0xfffffff0u);
    EXPECT_EQ(w->specification, base);
    EXPECT_EQ(v->specification.offset(), 0u);
}

// Bit-field values are kept apart from the member, every int32 exactly.
TEST(ModelMembers, BitFieldValuesComeBackExactly) {
    DwarfModel m;
    BasicObject* root = m.makeRoot();
    auto* plain = static_cast<TypeInfo_Member*>(m.make(Kind::Member, 1, "DW_TAG_member", root));
    auto* bits = static_cast<TypeInfo_Member*>(m.make(Kind::Member, 2, "DW_TAG_member", root));
    bits->bitField(&m.arena) = {INT32_MIN, INT32_MAX, -1};
    EXPECT_EQ(plain->bitSize() | plain->bitOffset() | plain->byteSize(), 0);
    EXPECT_EQ(bits->bitSize(), INT32_MIN);
    EXPECT_EQ(bits->bitOffset(), INT32_MAX);
    EXPECT_EQ(bits->byteSize(), -1);
    EXPECT_EQ(bits->getSize(), 0xffffffffu);
}

TEST(ModelTexts, RepeatedTextsShareOneCopy) {
    TextPool pool;
    std::string a = "counter", b = "counter", c = "counters";
    const std::string_view first = pool.keepShared(a);
    EXPECT_EQ(pool.keepShared(b).data(), first.data());
    EXPECT_EQ(pool.keepShared(c), "counters");
    EXPECT_NE(first.data(), a.data()) << "a copy, not the caller's text";
    EXPECT_EQ(pool.keepShared(""), "");
}

}  // namespace

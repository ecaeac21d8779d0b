#include "reader/Attributes.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <type_traits>
#include <vector>

namespace kestrel::reader {

using namespace kestrel::model;
namespace g = grammar;

namespace {

// The attributes that the reader interprets.
enum class Attr : std::uint8_t {
    Other, Name, CompDir, Producer, MipsLinkageName, LinkageName, Location, DataMemberLocation,
    LowPc, HighPc, Type, Import, StmtList, Specification, AbstractOrigin, Encoding, DeclLine,
    DeclFile, Accessibility, Language, External, Declaration, Inline, Virtuality, ConstValue,
    BitSize, BitOffset, DataBitOffset, ByteSize, UpperBound, LowerBound, Count, CallLine, CallFile,
    Signature,
};

// How an attribute's value is read.
enum class ValueKind : std::uint8_t {
    Raw,             // the value text as it stands (and its flag)
    Name,            // the text behind an indirect-string prefix, else the value
    IndirectText,    // the text behind an indirect-string prefix, else nothing
    Address,         // DW_OP_addr (or DW_OP_addrx) in the interpretation
    MemberLocation,  // DW_OP_plus_uconst in the interpretation, or a plain constant
    Reference,       // the last hex number of the value (offsets, addresses), or a type signature
    Encoding,        // the number, and the name in parentheses of the interpretation
    Decimal,         // the value as an integer
};

struct AttrName {
    std::string_view name;
    Attr attr;
    ValueKind value;
};

// The most common first: a lookup compares the names of one length in order.
constexpr AttrName kAttributes[] = {
    {"DW_AT_name", Attr::Name, ValueKind::Name},
    {"DW_AT_type", Attr::Type, ValueKind::Reference},
    {"DW_AT_decl_line", Attr::DeclLine, ValueKind::Raw},
    {"DW_AT_decl_file", Attr::DeclFile, ValueKind::Decimal},
    {"DW_AT_byte_size", Attr::ByteSize, ValueKind::Decimal},
    {"DW_AT_data_member_location", Attr::DataMemberLocation, ValueKind::MemberLocation},
    {"DW_AT_location", Attr::Location, ValueKind::Address},
    {"DW_AT_external", Attr::External, ValueKind::Raw},
    {"DW_AT_declaration", Attr::Declaration, ValueKind::Raw},
    {"DW_AT_encoding", Attr::Encoding, ValueKind::Encoding},
    {"DW_AT_upper_bound", Attr::UpperBound, ValueKind::Decimal},
    {"DW_AT_const_value", Attr::ConstValue, ValueKind::Decimal},
    {"DW_AT_comp_dir", Attr::CompDir, ValueKind::IndirectText},
    {"DW_AT_producer", Attr::Producer, ValueKind::IndirectText},
    {"DW_AT_MIPS_linkage_name", Attr::MipsLinkageName, ValueKind::IndirectText},
    {"DW_AT_linkage_name", Attr::LinkageName, ValueKind::IndirectText},
    {"DW_AT_low_pc", Attr::LowPc, ValueKind::Reference},
    {"DW_AT_high_pc", Attr::HighPc, ValueKind::Reference},
    {"DW_AT_import", Attr::Import, ValueKind::Reference},
    {"DW_AT_stmt_list", Attr::StmtList, ValueKind::Reference},
    {"DW_AT_specification", Attr::Specification, ValueKind::Reference},
    {"DW_AT_abstract_origin", Attr::AbstractOrigin, ValueKind::Reference},
    {"DW_AT_accessibility", Attr::Accessibility, ValueKind::Decimal},
    {"DW_AT_language", Attr::Language, ValueKind::Raw},
    {"DW_AT_inline", Attr::Inline, ValueKind::Raw},
    {"DW_AT_virtuality", Attr::Virtuality, ValueKind::Raw},
    {"DW_AT_bit_size", Attr::BitSize, ValueKind::Decimal},
    {"DW_AT_bit_offset", Attr::BitOffset, ValueKind::Decimal},
    {"DW_AT_data_bit_offset", Attr::DataBitOffset, ValueKind::Decimal},
    {"DW_AT_lower_bound", Attr::LowerBound, ValueKind::Decimal},
    {"DW_AT_count", Attr::Count, ValueKind::Decimal},
    {"DW_AT_call_line", Attr::CallLine, ValueKind::Raw},
    {"DW_AT_call_file", Attr::CallFile, ValueKind::Decimal},
    {"DW_AT_signature", Attr::Signature, ValueKind::Reference},
};

static_assert(std::ranges::all_of(kAttributes, [](const AttrName& a) { return a.name.size() >= 8; }),
              "AttributeTable compares names by words of eight bytes");

// The attribute names by length, so that a lookup compares a handful of
// names of the same length.
class AttributeTable {
public:
    AttributeTable() {
        for (const AttrName& a : kAttributes) byLength_[a.name.size()].push_back(a);
    }
    const AttrName* find(std::string_view name) const {
        if (name.size() >= byLength_.size()) return nullptr;
        // Names of one length (all ten bytes or more): compared by their
        // last eight bytes, then by their first eight, which cover a name of
        // up to sixteen bytes, or whole.
        for (const AttrName& a : byLength_[name.size()]) {
            if (word(a.name, name.size() - 8) != word(name, name.size() - 8)) continue;
            if (name.size() <= 16 ? word(a.name, 0) == word(name, 0) : a.name == name) return &a;
        }
        return nullptr;
    }

private:
    static std::uint64_t word(std::string_view name, std::size_t at) {
        std::uint64_t bytes;
        std::memcpy(&bytes, name.data() + at, 8);
        return bytes;
    }

    std::array<std::vector<AttrName>, 32> byLength_;
};

// One decoded attribute: the working number N, the integer, the text.
struct Value {
    Attr attr = Attr::Other;
    std::uint32_t n = 0;
    std::int32_t decimal = 0;
    std::string_view text;
    bool located = false;
    // DW_OP_addrx: the index is in n, the address comes from .debug_addr.
    bool indexed = false;
    std::uint32_t addend = 0;
    // DW_FORM_ref_sig8: a type unit's signature instead of an offset.
    bool bySignature = false;
    std::uint64_t signature = 0;
    bool flag = false;
    const g::AttributeLine* line = nullptr;

    bool typeRef() const { return attr == Attr::Type || attr == Attr::Import; }
    bool originRef() const { return attr == Attr::Specification || attr == Attr::AbstractOrigin; }
};

Value decode(const AttrName& entry, const g::AttributeLine& a) {
    Value v;
    v.attr = entry.attr;
    v.line = &a;
    v.flag = g::flagValue(a.value);
    std::string_view cap;
    switch (entry.value) {
        case ValueKind::Raw: break;
        case ValueKind::Name: v.text = g::captureAfterIndirect(a.value, cap) ? cap : a.value; break;
        case ValueKind::IndirectText:
            if (g::captureAfterIndirect(a.value, cap)) v.text = cap;
            break;
        case ValueKind::Address:
            v.located = g::captureAddress(a.interpretation, v.n);
            if (!v.located) v.indexed = g::captureAddressIndex(a.interpretation, v.n, v.addend);
            break;
        case ValueKind::MemberLocation:
            if (g::capturePlusUconst(a.interpretation, cap))
                v.n = static_cast<std::uint32_t>(g::decimalValue(cap));
            else
                g::captureConstant(a.value, v.n);
            break;
        case ValueKind::Reference:
            if (g::captureSignature(a.value, v.signature)) v.bySignature = true;
            else if (g::captureLastHex(a.value, cap)) v.n = g::hexValue(cap);
            break;
        case ValueKind::Encoding:
            if (g::captureParenthesised(a.interpretation, cap)) v.text = cap;
            v.decimal = g::decimalValue(a.value);
            break;
        case ValueKind::Decimal: v.decimal = g::decimalValue(a.value); break;
    }
    return v;
}

// The rules, one per class: what an attribute sets on an object of it.
struct Rules {
    AttributeContext& c;

    std::string_view keep(std::string_view text) const { return c.model.texts.keep(text); }
    // For texts that repeat: names, location expressions ("DW_OP_fbreg: -20"), encodings.
    std::string_view keepShared(std::string_view text) const { return c.model.texts.keepShared(text); }
    void constant(BasicObject& o) const { c.model.constantObjects.push_back(&o); }
    // A DW_AT_const_value kept as written.
    template <class T>
    void constantText(T& o, const Value& v) const {
        c.model.constValues.emplace_back(&o, keep(v.line->value));
        constant(o);
    }

    // Every object.
    void common(BasicObject& o, const Value& v) const {
        switch (v.attr) {
            case Attr::Name: o.setName(keepShared(v.text)); break;
            case Attr::Location:
                if (v.located || v.indexed) c.model.locatedObjects.push_back(&o);
                if (v.indexed) c.model.indexedAddresses.push_back({&o, c.unitOffset, v.n, v.addend});
                break;
            // A type named by its type unit's signature; DW_AT_signature
            // makes the entry a stand-in for the type of that unit.
            case Attr::Type:
            case Attr::Signature:
                if (v.bySignature)
                    c.model.signatureReferences.push_back({&o, v.signature, v.attr == Attr::Signature});
                break;
            case Attr::DeclLine: c.model.setDeclLine(o, v.line->value); break;
            case Attr::DeclFile: o.declFile = v.decimal; break;
            case Attr::Specification: o.hasSpecification = v.flag; break;
            case Attr::Accessibility: c.model.accessibilities.emplace_back(&o, v.decimal); break;
            case Attr::MipsLinkageName:
            case Attr::LinkageName: c.model.linkageNames.emplace_back(&o, keep(v.text)); break;
            default: break;
        }
    }

    // Classes whose only attribute of their own is their type.
    template <class T>
    void apply(T& o, const Value& v) const {
        if constexpr (requires { o.type; })
            if (v.typeRef()) o.type.setOffset(v.n);
    }
    void apply(TypeInfo_Namespace&, const Value&) const {}

    void apply(CompileUnitInfo& cu, const Value& v) const {
        switch (v.attr) {
            case Attr::CompDir: cu.compDir = keep(v.text); break;
            case Attr::Language: cu.language = keep(v.line->interpretation); break;
            case Attr::Producer: cu.producer = keep(v.text); break;
            case Attr::LowPc: cu.addressLow = v.n; break;
            case Attr::HighPc: cu.addressHigh = v.n; break;
            case Attr::StmtList: cu.stmtList = v.n; break;
            default: break;
        }
    }

    // What functions, variables and members share: the type, whether the
    // entry is only a declaration and, where the class has them, the external
    // flag, the link to the declaration and a constant value. False when the
    // attribute is none of these.
    template <class T>
    bool declared(T& o, const Value& v) const {
        if (v.typeRef()) {
            o.type.setOffset(v.n);
            return true;
        }
        if (v.attr == Attr::Declaration) {
            o.setDeclaration(v.flag);
            return true;
        }
        if constexpr (requires { o.setExternal(true); }) {
            if (v.attr == Attr::External) {
                o.setExternal(v.flag);
                return true;
            }
        }
        if constexpr (requires { o.specification; }) {
            if (v.originRef()) {
                o.specification.setOffset(v.n);
                return true;
            }
        }
        if constexpr (std::is_same_v<T, VariableInfo> || std::is_same_v<T, TypeInfo_Member>) {
            if (v.attr == Attr::ConstValue) {
                constantText(o, v);
                return true;
            }
        }
        return false;
    }

    void apply(FunctionInfo& f, const Value& v) const {
        if (declared(f, v)) return;
        switch (v.attr) {
            case Attr::LowPc: f.addressLow = v.n; break;
            case Attr::HighPc: f.addressHigh = v.n; break;
            case Attr::Inline: f.setInline(v.flag); break;
            case Attr::Virtuality: f.setVirtuality(v.flag); break;
            default: break;
        }
    }

    void apply(VariableInfo& var, const Value& v) const {
        if (declared(var, v) || v.attr != Attr::Location) return;
        var.setStatic(true);
        var.address = v.indexed ? 0 : v.n;  // an indexed address is set by the link
        if (v.located || v.indexed) {
            var.setLocationForm(LocationForm::Address);
        } else if (v.line->interpretation == "(location list)" || v.line->value.ends_with("(location list)")) {
            var.setLocationForm(LocationForm::List);
        } else {
            var.setLocationForm(LocationForm::Expression);
            const std::string_view text = v.line->interpretation.empty() ? v.line->value : v.line->interpretation;
            c.model.locationExpressions.emplace_back(var.offset, keepShared(text));
        }
    }

    void apply(TypeInfo_Member& mb, const Value& v) const {
        if (declared(mb, v)) return;
        switch (v.attr) {
            case Attr::DataMemberLocation:
                mb.dataMemberLocation = static_cast<std::int32_t>(v.n);
                mb.setHasDataMemberLocation(true);
                break;
            case Attr::BitSize:
                c.model.bitSizedMembers.push_back(&mb);
                mb.bitField(&c.model.arena).bitSize = v.decimal;
                break;
            case Attr::BitOffset: mb.bitField(&c.model.arena).bitOffset = v.decimal; break;
            case Attr::DataBitOffset: {
                // An entry's attributes arrive together: a repeated one
                // replaces the value, as a field would keep the last.
                auto& offsets = c.model.dataBitOffsets;
                if (!offsets.empty() && offsets.back().first == &mb)
                    offsets.back().second = v.decimal;
                else
                    offsets.emplace_back(&mb, v.decimal);
                break;
            }
            case Attr::ByteSize: mb.bitField(&c.model.arena).byteSize = v.decimal; break;
            default: break;
        }
    }

    void apply(TypeInfo_Array& ar, const Value& v) const {
        if (v.typeRef()) ar.type.setOffset(v.n);
        else if (v.attr == Attr::ByteSize) ar.byteSize = v.decimal;
    }

    void apply(TypeInfo_Base& b, const Value& v) const {
        if (v.attr == Attr::Encoding) {
            b.encoding = v.decimal;
            b.encodingName = keepShared(v.text);
        } else if (v.attr == Attr::ByteSize) {
            b.byteSize = v.decimal;
        }
    }

    void apply(TypeInfo_Class& cl, const Value& v) const {
        if (v.attr == Attr::Declaration) cl.setDeclaration(v.flag);
        else if (v.attr == Attr::ByteSize) cl.byteSize = v.decimal;
        else if (v.attr == Attr::Specification) cl.specification.setOffset(v.n);
    }

    void apply(TypeInfo_Structure& s, const Value& v) const {
        if (v.attr == Attr::Specification) s.specification.setOffset(v.n);
        else if (v.attr == Attr::ByteSize) s.byteSize = v.decimal;
        else if (v.attr == Attr::Declaration) s.setDeclaration(v.flag);
    }

    template <Kind K>
    void apply(SizedScope<K>& scope, const Value& v) const {
        if (v.attr == Attr::ByteSize) scope.byteSize = v.decimal;
        else if (v.attr == Attr::Declaration) scope.setDeclaration(v.flag);
    }

    void apply(TypeInfo_Enumerator& e, const Value& v) const {
        if (v.attr != Attr::ConstValue) return;
        e.constValue = v.decimal;
        constant(e);
    }

    void apply(TypeInfo_Inheritance& in, const Value& v) const {
        if (v.typeRef()) in.type.setOffset(v.n);
        else if (v.attr == Attr::DataMemberLocation) in.dataMemberLocation = static_cast<std::int32_t>(v.n);
    }

    void apply(TypeInfo_Pointer& p, const Value& v) const {
        if (v.typeRef()) p.type.setOffset(v.n);
        else if (v.attr == Attr::ByteSize && c.pointerSize == 0) p.byteSize = v.decimal;
    }

    void apply(TypeInfo_Subrange& s, const Value& v) const {
        if (v.typeRef()) s.type.setOffset(v.n);
        else if (v.attr == Attr::UpperBound) s.upperB = v.decimal;
        else if (v.attr == Attr::LowerBound) s.lowerB = v.decimal;
        else if (v.attr == Attr::Count) {
            if (!s.hasCount()) c.model.countedSubranges.push_back(&s);
            s.count = v.decimal;
            s.setHasCount(true);
        }
    }

    void apply(TypeInfo_Subroutine& s, const Value& v) const {
        if (v.typeRef() || v.attr == Attr::AbstractOrigin) s.type.setOffset(v.n);
        else if (v.attr == Attr::CallLine) c.model.setDeclLine(s, v.line->value);
        else if (v.attr == Attr::CallFile) s.declFile = v.decimal;
    }
};

}  // namespace

void applyAttribute(AttributeContext& context, BasicObject& object, const g::AttributeLine& line) {
    static const AttributeTable table;
    const AttrName* entry = table.find(line.name);
    if (entry == nullptr) return;
    const Value value = decode(*entry, line);
    const Rules rules{context};
    rules.common(object, value);
    switch (object.kind()) {
#define KESTREL_ENTRY_KIND(K, Class, list) \
    case Kind::K: rules.apply(static_cast<Class&>(object), value); break;
#include "model/EntryKinds.def"
        case Kind::Basic: break;
    }
}

}  // namespace kestrel::reader

#include "model/DwarfModel.h"

#include <algorithm>

#include "reader/DumpReader.h"
#include "reader/LineSource.h"

namespace Model {

void OffsetIndex::add(std::uint32_t offset, BasicObject* object) {
    if (!entries_.empty() && offset <= entries_.back().first) sorted_ = false;
    entries_.emplace_back(offset, object);
    settled_ = false;
}

void OffsetIndex::settle() const {
    if (settled_) return;
    if (!sorted_) {
        std::stable_sort(entries_.begin(), entries_.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        // The first object registered under an offset stays; later ones go.
        auto last = std::unique(entries_.begin(), entries_.end(),
                                [](const auto& a, const auto& b) { return a.first == b.first; });
        entries_.erase(last, entries_.end());
        sorted_ = true;
    }
    entries_.shrink_to_fit();
    // A coarse table from offset to position, so that a lookup touches a few
    // neighbouring entries instead of a binary search over all of them.
    buckets_.clear();
    if (!entries_.empty()) {
        // About one bucket per entry, whatever the largest offset is.
        shift_ = 0;
        while ((static_cast<std::size_t>(entries_.back().first) >> shift_) >= 2 * entries_.size()) ++shift_;
        const std::size_t n = (static_cast<std::size_t>(entries_.back().first) >> shift_) + 2;
        buckets_.assign(n, 0);
        std::size_t e = 0;
        for (std::size_t k = 0; k < n; ++k) {
            while (e < entries_.size() && (entries_[e].first >> shift_) < k) ++e;
            buckets_[k] = static_cast<std::uint32_t>(e);
        }
    }
    settled_ = true;
}

BasicObject* OffsetIndex::find(std::uint32_t offset) const {
    if (offset == 0) return nullptr;  // an offset never set; no entry lies at 0
    settle();
    const std::size_t k = offset >> shift_;
    if (k + 1 >= buckets_.size()) return nullptr;
    auto first = entries_.begin() + buckets_[k];
    auto last = entries_.begin() + buckets_[k + 1];
    auto it = std::lower_bound(first, last, offset, [](const auto& e, std::uint32_t o) { return e.first < o; });
    return (it != last && it->first == offset) ? it->second : nullptr;
}

std::size_t OffsetIndex::size() const {
    settle();
    return entries_.size();
}

DwarfModel::DwarfModel() = default;

struct DwarfModel::Builder::State {
    explicit State(DwarfModel& model) : reader(model) {}
    kestrel::DumpReader reader;
    kestrel::LineAssembler lines;
};

DwarfModel::Builder::Builder(DwarfModel& model) : state_(std::make_unique<State>(model)), model_(model) {}

DwarfModel::Builder::~Builder() = default;

void DwarfModel::Builder::push(std::string_view bytes) {
    model_.bytesRead += bytes.size();
    state_->lines.push(bytes, [this](std::string_view line) {
        ++model_.linesRead;
        state_->reader.feed(line);
    });
}

void DwarfModel::Builder::finish() {
    state_->lines.finish([this](std::string_view line) {
        ++model_.linesRead;
        state_->reader.feed(line);
    });
    model_.opened_ = true;
    model_.link();
    kestrel::DumpReader::finishLinked(model_);
}

DwarfModel::DwarfModel(const std::string& dumpFileName) {
    kestrel::DumpReader reader(*this);
    std::string error;
    std::uint64_t lines = 0;
    opened_ = kestrel::readLines(
        dumpFileName,
        [&](std::string_view line) {
            ++lines;
            reader.feed(line);
        },
        error, &bytesRead);
    linesRead = lines;
    if (!opened_) {
        openError_ = error;
        return;
    }
    link();
    kestrel::DumpReader::finishLinked(*this);
}

DwarfModel::~DwarfModel() {
    // Objects in the arena hold nothing outside it (texts are in the pool):
    // releasing the arena frees them all at once.
    if (rootInArena) (void)root.release();
}

std::unique_ptr<DwarfModel> DwarfModel::fromText(std::string_view dumpText) {
    auto model = std::make_unique<DwarfModel>();
    {
        kestrel::DumpReader reader(*model);
        kestrel::forEachLine(dumpText, [&](std::string_view line) {
            ++model->linesRead;
            reader.feed(line);
        });
    }
    model->bytesRead = dumpText.size();
    model->opened_ = true;
    model->link();
    kestrel::DumpReader::finishLinked(*model);
    return model;
}

void DwarfModel::link() {
    auto resolve = [this](auto& list) {
        for (auto* o : list) o->type = objectsByOffset.find(o->typeOffset);
    };
    resolve(arrays);
    resolve(constTypes);
    resolve(importedDeclarations);
    resolve(inheritances);
    resolve(members);
    resolve(pointers);
    resolve(subranges);
    resolve(subroutines);
    resolve(typedefs);
    resolve(volatiles);
    for (FunctionInfo* f : functions) {
        f->type = objectsByOffset.find(f->typeOffset);
        f->specification = objectsByOffset.find(f->specificationOffset);
    }
    for (VariableInfo* v : variables) {
        v->type = objectsByOffset.find(v->typeOffset);
        v->specification = objectsByOffset.find(v->specificationOffset);
    }
    for (TypeInfo_Class* c : classes) c->specification = objectsByOffset.find(c->specificationOffset);
    for (TypeInfo_Structure* s : structures) s->specification = objectsByOffset.find(s->specificationOffset);
}

}  // namespace Model

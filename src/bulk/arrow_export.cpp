#include "arrow_export.h"

#include <atomic>
#include <utility>

namespace zelkor::bulk {

namespace {

std::atomic<int64_t> g_live{0};

// Consumers may not accept a null pointer for a buffer of zero length.
alignas(64) const int64_t EMPTY_BUFFER[8] = {};

// One result: its buffers and the child struct. Shared between the parent
// and the child array, since a consumer may move the child out and release
// the two at different times.
struct ArrayOwner {
    BatchIds batch;
    std::vector<int64_t> counts;
    std::vector<int32_t> list_offsets;  // list<large_string>: lists, then their strings
    std::vector<int64_t> string_offsets;
    std::vector<uint8_t> string_data;
    Validity validity;
    const void* parent_buffers[2] = {nullptr, nullptr};
    const void* child_buffers[3] = {nullptr, nullptr, nullptr};
    ArrowArray child{};
    ArrowArray* children[1] = {&child};
    std::atomic<int> refs{1};

    ArrayOwner() { g_live.fetch_add(1, std::memory_order_relaxed); }
    ~ArrayOwner() { g_live.fetch_sub(1, std::memory_order_relaxed); }
    ArrayOwner(const ArrayOwner&) = delete;
    ArrayOwner& operator=(const ArrayOwner&) = delete;
};

void drop(ArrayOwner* owner) {
    if (owner->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete owner;
}

void release_child_array(ArrowArray* a) {
    auto* owner = static_cast<ArrayOwner*>(a->private_data);
    a->release = nullptr;
    drop(owner);
}

void release_array(ArrowArray* a) {
    auto* owner = static_cast<ArrayOwner*>(a->private_data);
    for (int64_t k = 0; k < a->n_children; ++k) {
        ArrowArray* c = a->children[k];
        if (c->release) c->release(c);
    }
    a->release = nullptr;
    drop(owner);
}

struct SchemaOwner {
    ArrowSchema child{};
    ArrowSchema* children[1] = {&child};
};

// Formats and names are string literals, so a moved-out child schema needs
// nothing from its parent.
void release_child_schema(ArrowSchema* s) { s->release = nullptr; }

void release_schema(ArrowSchema* s) {
    auto* owner = static_cast<SchemaOwner*>(s->private_data);
    if (owner) {
        ArrowSchema* c = owner->children[0];
        if (c->release) c->release(c);
        delete owner;
    }
    s->release = nullptr;
}

const void* validity_buffer(const Validity& v) {
    return v.null_count ? static_cast<const void*>(v.bits.data()) : nullptr;
}

template <class T>
const void* data_or_empty(const T* p) {
    return p ? static_cast<const void*>(p) : static_cast<const void*>(EMPTY_BUFFER);
}

// A list array over the child array whose buffers are in
// owner->child_buffers, once its data buffers are set: `n` lists at
// `list_offsets`, `items` child values, the formats of the list and of its
// items.
void export_list(ArrayOwner* owner, int64_t n, const void* list_offsets, int64_t items,
                 int64_t child_buffers, const char* list_format, const char* item_format,
                 ArrowSchema& schema, ArrowArray& array) {
    owner->child = ArrowArray{items, 0, 0, child_buffers, 0, owner->child_buffers, nullptr, nullptr,
                              release_child_array, owner};
    owner->refs.store(2, std::memory_order_relaxed);  // parent and child

    owner->parent_buffers[0] = validity_buffer(owner->validity);
    owner->parent_buffers[1] = list_offsets;
    array = ArrowArray{n, owner->validity.null_count, 0, 2, 1, owner->parent_buffers, owner->children,
                       nullptr, release_array, owner};

    auto* s = new SchemaOwner();
    s->child = ArrowSchema{item_format, "item", nullptr, ARROW_FLAG_NULLABLE, 0, nullptr, nullptr,
                           release_child_schema, nullptr};
    schema = ArrowSchema{list_format, "", nullptr, ARROW_FLAG_NULLABLE, 1, s->children, nullptr,
                         release_schema, s};
}

}  // namespace

void export_token_lists(BatchIds&& batch, Validity&& validity, ArrowSchema& schema, ArrowArray& array) {
    auto* owner = new ArrayOwner();
    owner->batch = std::move(batch);
    owner->validity = std::move(validity);
    owner->child_buffers[1] = data_or_empty(owner->batch.ids.data());
    export_list(owner, int64_t(owner->batch.offsets.size()) - 1, owner->batch.offsets.data(),
                int64_t(owner->batch.ids.size()), 2, "+L", "I", schema, array);
}

void export_counts(std::vector<int64_t>&& counts, Validity&& validity, ArrowSchema& schema,
                   ArrowArray& array) {
    auto* owner = new ArrayOwner();
    owner->counts = std::move(counts);
    owner->validity = std::move(validity);
    owner->parent_buffers[0] = validity_buffer(owner->validity);
    owner->parent_buffers[1] = data_or_empty(owner->counts.data());
    array = ArrowArray{int64_t(owner->counts.size()), owner->validity.null_count, 0, 2, 0,
                       owner->parent_buffers, nullptr, nullptr, release_array, owner};
    schema = ArrowSchema{"l", "", nullptr, ARROW_FLAG_NULLABLE, 0, nullptr, nullptr, release_schema,
                         nullptr};
}

void export_string_lists(std::vector<int32_t>&& list_offsets, std::vector<int64_t>&& string_offsets,
                         std::vector<uint8_t>&& string_data, Validity&& validity,
                         ArrowSchema& schema, ArrowArray& array) {
    auto* owner = new ArrayOwner();
    owner->list_offsets = std::move(list_offsets);
    owner->string_offsets = std::move(string_offsets);
    owner->string_data = std::move(string_data);
    owner->validity = std::move(validity);
    owner->child_buffers[1] = owner->string_offsets.data();
    owner->child_buffers[2] = data_or_empty(owner->string_data.data());
    export_list(owner, int64_t(owner->list_offsets.size()) - 1, owner->list_offsets.data(),
                int64_t(owner->string_offsets.size()) - 1, 3, "+l", "U", schema, array);
}

int64_t live_exports() { return g_live.load(std::memory_order_relaxed); }

}  // namespace zelkor::bulk

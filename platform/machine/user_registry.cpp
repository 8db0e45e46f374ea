#include "user_registry.h"

#include <cstring>

#include "platform/kernel/ntstatus.h"
#include "platform/kernel/text.h"
#include "registry.h"

namespace platform::user_registry {
namespace {

constexpr std::u16string_view kMachineHive = u"\\Registry\\Machine";

bool UnderHive(std::u16string_view key) {
    return key.size() >= kMachineHive.size() && equal_case_insensitive(key.substr(0, kMachineHive.size()), kMachineHive) &&
           (key.size() == kMachineHive.size() || key[kMachineHive.size()] == u'\\');
}

bool IsHive(std::u16string_view key) { return key.size() == kMachineHive.size(); }

bool Exists(Registry& registry, std::u16string_view key) { return IsHive(key) || registry.key_exists(key); }

// Every key from the hive down to `key`, so each one enumerates under its parent.
bool CreateWithParents(Registry& registry, std::u16string_view key) {
    bool created = false;
    for (size_t at = kMachineHive.size() + 1; at <= key.size(); ++at) {
        if (at != key.size() && key[at] != u'\\') continue;
        std::u16string_view prefix = key.substr(0, at);
        if (!registry.key_exists(prefix)) {
            registry.create_key(prefix);
            created = true;
        }
    }
    return created;
}

void PutField(std::vector<uint8_t>& out, const void* bytes, uint32_t length) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    out.insert(out.end(), reinterpret_cast<const uint8_t*>(&length), reinterpret_cast<const uint8_t*>(&length) + 4);
    out.insert(out.end(), p, p + length);
}

bool TakeText(const std::vector<uint8_t>& in, size_t* at, std::u16string* text) {
    uint32_t length = 0;
    if (in.size() - *at < 4) return false;
    std::memcpy(&length, in.data() + *at, 4);
    *at += 4;
    if (length % 2 != 0 || in.size() - *at < length) return false;
    text->resize(length / 2);
    std::memcpy(text->data(), in.data() + *at, length);
    *at += length;
    return true;
}

}  // namespace

Result run(Registry& registry, const Call& call) {
    Result result;
    std::u16string key = call.key;
    while (!key.empty() && key.back() == u'\\') key.pop_back();
    if (!UnderHive(key)) {
        result.status = STATUS_OBJECT_PATH_NOT_FOUND;
        return result;
    }
    switch (call.op) {
        case Op::OpenKey:
            result.status = Exists(registry, key) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
            break;
        case Op::CreateKey:
            result.disposition = CreateWithParents(registry, key) ? kCreatedNewKey : kOpenedExistingKey;
            break;
        case Op::DeleteKey:
            if (IsHive(key)) {
                result.status = STATUS_ACCESS_DENIED;
                break;
            }
            switch (registry.delete_leaf_key(key)) {
                case Registry::LeafDelete::Deleted: break;
                case Registry::LeafDelete::Missing: result.status = STATUS_OBJECT_NAME_NOT_FOUND; break;
                case Registry::LeafDelete::HasSubkeys: result.status = STATUS_ACCESS_DENIED; break;
            }
            break;
        case Op::SetValue:
            if (IsHive(key) || !registry.set_existing(key, call.name, RegValue{static_cast<RegType>(call.type), call.data})) {
                result.status = IsHive(key) ? STATUS_ACCESS_DENIED : STATUS_KEY_DELETED;
            }
            break;
        case Op::QueryValue: {
            if (!Exists(registry, key)) {
                result.status = STATUS_KEY_DELETED;
                break;
            }
            auto value = registry.get(key, call.name);
            if (!value) {
                result.status = STATUS_OBJECT_NAME_NOT_FOUND;
                break;
            }
            result.type = static_cast<uint32_t>(value->type);
            result.data = std::move(value->data);
            break;
        }
        case Op::EnumKeys:
            if (!Exists(registry, key)) {
                result.status = STATUS_KEY_DELETED;
                break;
            }
            result.names = registry.subkeys(key);
            break;
        default:
            result.status = STATUS_INVALID_PARAMETER;
            break;
    }
    return result;
}

std::vector<uint8_t> encode(const Call& call) {
    std::vector<uint8_t> out;
    PutField(out, call.key.data(), static_cast<uint32_t>(call.key.size() * 2));
    PutField(out, call.name.data(), static_cast<uint32_t>(call.name.size() * 2));
    out.insert(out.end(), call.data.begin(), call.data.end());
    return out;
}

bool decode(uint32_t op, uint32_t type, const std::vector<uint8_t>& payload, Call* call) {
    size_t at = 0;
    if (!TakeText(payload, &at, &call->key) || !TakeText(payload, &at, &call->name)) return false;
    call->op = static_cast<Op>(op);
    call->type = type;
    call->data.assign(payload.begin() + static_cast<std::ptrdiff_t>(at), payload.end());
    return true;
}

std::vector<uint8_t> encode_payload(const Result& result, Op op) {
    if (op == Op::QueryValue) return result.data;
    std::vector<uint8_t> out;
    if (op != Op::EnumKeys) return out;
    for (const std::u16string& name : result.names) {
        const auto* p = reinterpret_cast<const uint8_t*>(name.c_str());
        out.insert(out.end(), p, p + (name.size() + 1) * 2);
    }
    return out;
}

void decode_payload(const std::vector<uint8_t>& payload, Op op, Result* result) {
    if (op == Op::QueryValue) {
        result->data = payload;
        return;
    }
    if (op != Op::EnumKeys) return;
    std::u16string all(payload.size() / 2, u'\0');
    // A key without subkeys answers an empty payload, whose data() may be null.
    if (!all.empty()) std::memcpy(all.data(), payload.data(), all.size() * 2);
    for (size_t start = 0; start < all.size();) {
        size_t end = all.find(u'\0', start);
        if (end == std::u16string::npos) end = all.size();
        result->names.push_back(all.substr(start, end - start));
        start = end + 1;
    }
}

}  // namespace platform::user_registry

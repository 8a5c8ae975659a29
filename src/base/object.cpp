#include "base/object.h"

#include <cstdint>

#include "base/strings.h"

namespace {
void NoObjectCheck(const BaseObject*) {}
}  // namespace

ObjectCheckHook g_ObjectCheckHook = NoObjectCheck;

BaseObject::BaseObject() {
  if (g_ObjectCheckHook) g_ObjectCheckHook(this);
}

BaseObject::BaseObject(const BaseObject&) : BaseObject() {}

BaseObject::~BaseObject() {
  if (g_ObjectCheckHook) g_ObjectCheckHook(this);
}

bool BaseObject::IsEqual(const BaseObject* other) const {
  return other == this;
}

bool BaseObject::IsGreater(const BaseObject*) const {
  return false;
}

void BaseObject::Describe(PStr& out, uint32_t flags) const {
  if (flags & 1) out.AppendFormat("\"%s\"", ClassName());
  if (flags & 2) {
    out.AppendFormat("%sthis = %I64X", out.IsEmpty() ? "" : ", ",
                     static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(this)));
  }
}

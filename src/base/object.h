// The root class of the library's objects.
#pragma once

#include <cstdint>

class PStr;

class BaseObject {
 public:
  BaseObject();
  BaseObject(const BaseObject&);
  BaseObject& operator=(const BaseObject&) = default;

  // Virtual operations in their fixed order: equality, ordering, destructor,
  // description.
  // Identity: true when `other` is this very object.
  virtual bool IsEqual(const BaseObject* other) const;
  // Ordering for sorted containers; false here.
  virtual bool IsGreater(const BaseObject* other) const;
  virtual ~BaseObject();
  // Debug description: flag 1 appends "\"ClassName\"", flag 2 appends
  // ", this = <address in hex>".
  virtual void Describe(PStr& out, uint32_t flags) const;

  // Name of the most derived class for descriptions.
  virtual const char* ClassName() const { return "BaseObject"; }
};

// Process-wide hook called by every BaseObject constructor and destructor and
// by containers on every added item; a no-op unless replaced.
using ObjectCheckHook = void (*)(const BaseObject* object);
extern ObjectCheckHook g_ObjectCheckHook;

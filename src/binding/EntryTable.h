// Helpers for the binding units' entry tables. A unit lists its entry points once, in bind
// order, as an X-macro; the same list declares the table's slots (typed with the headers' own
// declarations) and binds them by name.
#pragma once

#define PELORIX_DECLARE_ENTRY(Name) decltype(&::Name) Name = nullptr;
#define PELORIX_BIND_ENTRY(Name) ABinding.BindEntry(#Name, Entries.Name);

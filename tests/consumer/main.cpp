// A client of the installed library: it defines its own server and class,
// then copies an object and keeps it in a Stream and brings it back.
#include <cstdint>
#include <iostream>
#include <string>

#include "replikon/replikon.hpp"

namespace {

struct Parcel {
  std::int32_t weight = 0;
  std::string label;
  replikon::ObjectRef next;
};

bool Check(bool ok, const char* what) {
  if (!ok) std::cerr << "consumer: " << what << " failed\n";
  return ok;
}

}  // namespace

int main() {
  try {
    replikon::Server server("ParcelLib");
    server.Class<Parcel>("Parcel")
        .Property("Weight", &Parcel::weight)
        .Property("Label", &Parcel::label)
        .Property("Next", &Parcel::next);
    replikon::ClassRegistry::Global().Register(server);

    replikon::ObjectRef first = replikon::CreateByProgId("ParcelLib.Parcel");
    replikon::ObjectRef second = replikon::CreateByProgId("ParcelLib.Parcel");
    *first.As<Parcel>() = Parcel{12, "fragile", second};
    *second.As<Parcel>() = Parcel{3, "books", nullptr};

    replikon::Replikon control;
    control.SetObjectServerName("ParcelLib");

    const replikon::ObjectRef copy = control.Copy(first);
    const replikon::SafeArray stream = control.StreamFromObject(first);
    const replikon::ObjectRef rebuilt = control.ObjectFromStream(stream);

    bool ok = true;
    for (const replikon::ObjectRef& object : {copy, rebuilt}) {
      const Parcel* p = object.As<Parcel>();
      ok &= Check(p != nullptr && object != first, "a new Parcel");
      if (p == nullptr) continue;
      ok &= Check(p->weight == 12 && p->label == "fragile", "the values");
      const Parcel* n = p->next.As<Parcel>();
      ok &= Check(n != nullptr && p->next != second && n->weight == 3 && n->label == "books",
                  "the subobject");
    }
    ok &=
        Check(control.IsStream(stream) && control.ObjectTypeName(stream) == "Parcel", "the Stream");
    if (!ok) return 1;
    std::cout << "consumer: ok, Replikon " << replikon::kVersionString << ", a Stream of "
              << stream.Count() << " bytes\n";
    return 0;
  } catch (const replikon::AutomationError& e) {
    std::cerr << "consumer: error " << e.Number() << ": " << e.Description() << '\n';
    return 1;
  }
}

// A host that knows the component only late-bound, as a script engine or a
// property window does: it describes the component from its type information,
// drives it by name, and follows its RecursionCheck event through a late-bound
// sink. The user guide shows this program; it is built with the project and
// run by the tests.

#include <iostream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "replikon/replikon.hpp"

// The client's classes: a folder with a note, and a listener for the events.
struct Folder {
  std::string name;
  replikon::ObjectRef note;
};
struct Note {
  std::string text;
};
struct Listener {
  std::string skip;  // the property whose subobject it vetoes
  int events = 0;
};

int main() {
  using namespace replikon;

  Server docs("DocsLib");
  docs.Class<Folder>("Folder").Property("Name", &Folder::name).Property("Note", &Folder::note);
  docs.Class<Note>("Note").Property("Text", &Note::text);
  // A sink: any object with a RecursionCheck method taking the event's six
  // parameters. Declared as the event interface declares them, Cancel (the
  // fifth) is by reference, and a body taking std::span<Variant> may set it.
  const auto event = ReplikonEvents()->Members()[0].Params();
  docs.Class<Listener>("Listener")
      .Method(
          "RecursionCheck",
          [](Listener& l, std::span<Variant> e) {
            ++l.events;
            if (e[3].String() == l.skip) e[4] = Variant(true);  // CurrentObjectProperty, Cancel
          },
          std::vector<ParamDescription>(event.begin(), event.end()));
  ClassRegistry registry;
  registry.Register(docs);

  // The component as an automation object.
  auto control = std::make_shared<Replikon>(nullptr, registry);
  ObjectRef face = AsObject(control);

  // Describe it: every readable property with its value and help string.
  for (const MemberDescription& m : DescribeObject(face)->Members()) {
    if (m.InvokeKind() != InvokeKind::PropertyGet) continue;
    const Variant value = InvokeByName(face, m.Name(), InvokeKind::PropertyGet);
    std::cout << m.Name() << " = " << DisplayText(value) << "\n    " << m.HelpString() << '\n';
  }

  // Drive it by name: the let trims the name, as the C++ setter does.
  InvokeByName(face, "ObjectServerName", InvokeKind::PropertyPut, {{Variant(" DocsLib ")}});

  // Follow the walk late-bound, and veto the note.
  ObjectRef listener = registry.CreateByProgId("DocsLib.Listener");
  listener.As<Listener>()->skip = "Note";
  const Replikon::HandlerId sink = ConnectSink(*control, listener);

  ObjectRef folder = registry.CreateByProgId("DocsLib.Folder");
  folder.As<Folder>()->name = "Letters";
  folder.As<Folder>()->note = registry.CreateByProgId("DocsLib.Note");
  const Variant copy = InvokeByName(face, "Copy", InvokeKind::Function, {{Variant(folder)}});
  const Folder& copied = *copy.Object().As<Folder>();
  std::cout << "copied " << copied.name << (copied.note ? " with" : " without") << " its note ("
            << listener.As<Listener>()->events << " event)\n";
  control->RemoveRecursionCheckHandler(sink);

  // Errors come as the C++ members raise them.
  try {
    InvokeByName(face, "ProblemsNotification", InvokeKind::PropertyPut, {{Variant(7)}});
  } catch (const AutomationError& e) {
    std::cout << "ProblemsNotification = 7: error " << e.Number() << ' ' << e.Description() << '\n';
  }
  return copied.name == "Letters" && !copied.note && control->ObjectServerName() == "DocsLib" ? 0
                                                                                              : 1;
}

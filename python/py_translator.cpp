// The symbol translation table for Python: the class Translator over the
// library's SymTranslator.
#include <cstring>
#include <memory>

#include "py_book_values.h"
#include "py_books.h"
#include "qrx/proxy/sym_translator.h"

namespace py = pybind11;

namespace pyqrx {

using bookvalues::Text;

void RegisterTranslator(py::module_& m) {
    py::class_<SymTranslator>(m, "Translator", R"doc(
A symbol translation table, loaded from a file: lines of "client[,client...]
feed" (a blank separates the fields unless a SEPARATOR: line sets another),
REGEX: rules for the symbols the lines do not name, and comments (#). The
same file given to Symproxy.enableSymbolTranslation translates the client's
requests and republishes feed ticks under the client symbols.)doc")
        .def(py::init([](py::handle path) {
                 auto t = std::make_unique<SymTranslator>();
                 TextArg p(path, "path");
                 if (p.null()) {
                     t->Init();
                 } else if (!t->Init(p.c_str())) {
                     PyErr_Format(PyExc_OSError, "cannot load the translation file %s", p.c_str());
                     throw py::error_already_set();
                 }
                 return t;
             }),
             py::arg("path") = py::none(),
             "Loads the file at path (OSError when it cannot be read); an empty table without.")
        .def(
            "toFeed",
            [](SymTranslator& t, py::handle symbol) {
                TextArg s(symbol, "symbol");
                const char* feed = s.null() ? nullptr : t.GetKo2Feed(s.c_str());
                return feed != nullptr ? Text(feed, strlen(feed)) : py::object(py::none());
            },
            py::arg("symbol"),
            "The feed symbol of a client symbol (the symbol itself when nothing translates it).")
        .def(
            "toClient",
            [](SymTranslator& t, py::handle symbol) {
                TextArg s(symbol, "symbol");
                py::list out;
                const SymTranslator::SynonymSet* set = s.null() ? nullptr : t.GetFeed2Ko(s.c_str());
                if (set != nullptr) {
                    for (const GrowingStr* g : *set) {
                        out.append(Text(*g));
                    }
                }
                return out;
            },
            py::arg("symbol"), "The client symbols that translate to a feed symbol, in order.")
        .def(
            "add",
            [](SymTranslator& t, py::handle client, py::handle feed) {
                TextArg c(client, "client symbol");
                TextArg f(feed, "feed symbol");
                return !c.null() && !f.null() && t.AddXLateEntry(c.c_str(), f.c_str());
            },
            py::arg("client"), py::arg("feed"),
            "Maps a client symbol to a feed symbol, replacing its earlier mapping; False for an "
            "empty symbol.");
}

}  // namespace pyqrx

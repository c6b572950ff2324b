// The command and order-book state the Python Symlistener and Symproxy keep beside the
// library object, with what the garbage collector needs to know of the callables it holds.
#pragma once

#include <pybind11/pybind11.h>

namespace pyqrx {

template <class Commands, class Books>
struct CommandsAndBooks {
    int TraverseExtras(visitproc visit, void* arg) {
        const int rc = m_commands.Traverse(visit, arg);
        return rc != 0 ? rc : m_books.Traverse(visit, arg);
    }
    void ClearExtras() {
        m_commands.Clear();
        m_books.Clear();
    }

    Commands m_commands;
    Books m_books;
};

}  // namespace pyqrx

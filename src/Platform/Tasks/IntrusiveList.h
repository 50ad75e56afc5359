// A doubly linked list threaded through its elements: each element holds an IntrusiveListLink
// and is in at most one list through it at a time. The list owns and allocates nothing; removing
// an element that is not in the list does nothing. Not thread-safe: the owner serialises every
// call (the task context does so under its lock). forEach visits the newest element first.
#pragma once

namespace tasks {

template <typename Element> struct IntrusiveListLink {
    Element* previous = nullptr;
    Element* next = nullptr;
};

template <typename Element, IntrusiveListLink<Element> Element::*link> class IntrusiveList {
public:
    void push(Element& element)
    {
        (element.*link).previous = nullptr;
        (element.*link).next = first;
        if (first)
            (first->*link).previous = &element;
        first = &element;
    }

    void remove(Element& element)
    {
        IntrusiveListLink<Element>& links = element.*link;
        if (links.previous)
            (links.previous->*link).next = links.next;
        else if (first == &element)
            first = links.next;
        if (links.next)
            (links.next->*link).previous = links.previous;
        links.previous = links.next = nullptr;
    }

    template <typename Visit> void forEach(Visit visit) const
    {
        for (Element* element = first; element; element = (element->*link).next)
            visit(*element);
    }

private:
    Element* first = nullptr;
};

} // namespace tasks

#pragma once
// Event slots: nullable callables bound (with boost::bind) to a member function of one
// object, invoked synchronously on the thread that raises the event; empty slots are skipped.
// Bind with boost::placeholders::_1; no placeholder names are brought in for includers.

#include <boost/bind/bind.hpp>
#include <boost/function.hpp>

typedef boost::function<void()> SEvent;                       // no argument
template <class T> using SEvent1 = boost::function<void(T&)>;  // one argument, by reference

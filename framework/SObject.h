#pragma once
// Root of the window classes and the sound classes: no fields, no virtual operations.
class SObject {
};

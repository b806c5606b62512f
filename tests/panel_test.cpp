// Placeholder: the tests of this area arrive with its work.

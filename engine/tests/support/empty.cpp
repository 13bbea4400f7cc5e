// Keeps the test-support library non-empty before helpers are added.

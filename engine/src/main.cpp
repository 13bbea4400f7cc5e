// Placeholder entry point; the run driver replaces it.
int main() { return 0; }

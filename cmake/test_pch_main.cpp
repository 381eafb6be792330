// Owner of the precompiled header that every test executable reuses.
int main() { return 0; }

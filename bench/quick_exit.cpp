// Stands in for the application and the text viewer while installs are timed: it starts
// and ends at once, so every launch the installer makes succeeds and leaves nothing running.
int main() { return 0; }

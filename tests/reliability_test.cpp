// Placeholder: the reliability suite arrives with its work.

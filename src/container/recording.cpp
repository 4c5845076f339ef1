// Recording packets and the frame reader.
